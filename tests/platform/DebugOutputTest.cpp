#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "voiceengine/DebugOutput.h"

namespace ve::platform {
namespace {

void Collect(const char* line, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(line); }

TEST(DebugOutput, OffByDefaultThenLinesReachTheHostSinkExactly) {
  std::vector<std::string> lines;
  voiceengine::SetDebugSink(&Collect, &lines);
  EXPECT_FALSE(voiceengine::IsDebugOutputEnabled());
  DebugPrintf("inlen:%d \r\n", 5);
  EXPECT_TRUE(lines.empty());

  voiceengine::SetDebugOutputEnabled(true);
  DebugPrintf("outlen:%d seqno:%d dataSize:%d tdata:%d\r\n", 172, 7, 160, 160);
  OutputDebugString("lost buffer count=[3]\r\n");
  std::string longLine(600, 'x');
  DebugPrintf("%s", longLine.c_str());
  voiceengine::SetDebugOutputEnabled(false);
  voiceengine::SetDebugSink(nullptr, nullptr);

  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "outlen:172 seqno:7 dataSize:160 tdata:160\r\n");
  EXPECT_EQ(lines[1], "lost buffer count=[3]\r\n");
  EXPECT_EQ(lines[2].size(), 511u) << "formatted lines are cut at 511 characters";
}

}  // namespace
}  // namespace ve::platform
