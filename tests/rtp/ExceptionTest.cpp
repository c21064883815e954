#include "rtp/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ve {
namespace {

TEST(Exception, FormatsCodeAndMessageCutsLongTextAndCopiesAreIndependent) {
  Exception e(-40, "totalLength (%d) < headerLength (%d)", 20, 72);
  EXPECT_EQ(e.Code(), -40);
  EXPECT_STREQ(e.Message(), "totalLength (20) < headerLength (72)");
  EXPECT_STREQ(e.what(), e.Message());

  Exception cut(-1, "Error loading file %s", std::string(2000, 'x').c_str());
  EXPECT_EQ(std::strlen(cut.Message()), 511u);
  EXPECT_EQ(std::string(cut.Message()).rfind("Error loading file xxx", 0), 0u);

  Exception copy(e);
  Exception assigned(0, "other");
  assigned = e;
  e = Exception(-99, "replaced");
  for (const Exception* c : {&copy, &assigned}) {
    EXPECT_EQ(c->Code(), -40);
    EXPECT_STREQ(c->Message(), "totalLength (20) < headerLength (72)");
  }
}

}  // namespace
}  // namespace ve
