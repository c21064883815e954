#include "rtp/Exception.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

TEST(Exception, FormatsCodeAndMessageAndCopiesAreIndependent) {
  Exception e(-40, "totalLength (%d) < headerLength (%d)", 20, 72), assigned(0, "other"), copy(e);
  assigned = e;
  e = Exception(-99, "replaced");
  const std::string text = "totalLength (20) < headerLength (72)";
  EXPECT_EQ(std::make_tuple(copy.Code(), copy.Message(), assigned.Code(), assigned.what()), std::make_tuple(-40, text, -40, text));
}

}  // namespace
}  // namespace ve
