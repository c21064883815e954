#include "rtp/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ve {
namespace {

TEST(Exception, FormatsCodeAndMessage) {
  try {
    throw Exception(-40, "totalLength (%d) < headerLength (%d)", 20, 72);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Code(), -40);
    EXPECT_STREQ(e.Message(), "totalLength (20) < headerLength (72)");
    EXPECT_STREQ(e.what(), e.Message());
  }
}

TEST(Exception, LongMessagesAreCutAt511Characters) {
  std::string longText(2000, 'x');
  Exception e(-1, "Error loading file %s", longText.c_str());
  EXPECT_EQ(std::strlen(e.Message()), 511u);
  EXPECT_EQ(std::string(e.Message()).rfind("Error loading file xxx", 0), 0u);
}

TEST(Exception, CopiesAreIndependent) {
  Exception original(-20, "header extension not supported");
  Exception copy(original);
  Exception assigned(0, "other");
  assigned = original;
  original = Exception(-99, "replaced");
  EXPECT_EQ(copy.Code(), -20);
  EXPECT_STREQ(copy.Message(), "header extension not supported");
  EXPECT_EQ(assigned.Code(), -20);
  EXPECT_STREQ(assigned.Message(), "header extension not supported");
}

}  // namespace
}  // namespace ve
