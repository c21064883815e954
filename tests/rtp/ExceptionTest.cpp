#include "rtp/Exception.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

TEST(Exception, FormatsCodeAndMessageCutsLongTextAndCopiesAreIndependent) {
  Exception e(-40, "totalLength (%d) < headerLength (%d)", 20, 72), assigned(0, "other");
  const Exception cut(-1, "Error loading file %s", std::string(2000, 'x').c_str()), copy(e);
  assigned = e;
  e = Exception(-99, "replaced");
  for (const Exception& c : {copy, assigned}) {
    EXPECT_EQ(std::make_tuple(c.Code(), std::string(c.Message()), std::string(c.what())),
              std::make_tuple(-40, std::string("totalLength (20) < headerLength (72)"), std::string(c.Message())));
  }
  EXPECT_EQ(std::string(cut.Message()), "Error loading file " + std::string(511 - 19, 'x'));
}

}  // namespace
}  // namespace ve
