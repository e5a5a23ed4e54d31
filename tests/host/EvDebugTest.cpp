#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "host/log/EvDebug.h"
#include "support/BlrLogFixture.h"

namespace {

using EvDebugTest = BlrLogFixture;

bool endsWith(const std::string& line, const std::string& pattern) {
  return std::regex_search(line, std::regex(pattern + "$"));
}

TEST_F(EvDebugTest, RecordLayoutAndMultiLineMessages) {
  EvDebug().handleMsgEventDebug(1, "BlrCtrl::connect", 7, "[vm1] ", "to %s:%d", "tail", 3128);
  EvDebug().handleMsgEventDebug(-1, nullptr, 0, "", "first\nsecond\n");
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 3u);  // the trailing newline adds no empty line
  std::string header = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} " +
                       std::to_string(getpid()) + " [0-9]+ ";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(header + "DEBUG id=7 \\[vm1\\] BlrCtrl::connect\\(\\): to tail:3128")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(header + "ERROR id=0 first"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(header + "ERROR id=0 second"))) << lines[2];
}

TEST_F(EvDebugTest, DestinationFollowsTheLogFileKey) {
  TempFile other;
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "one");
  DWPlatformInfo::setValue("EventManager", "sLogFile", other.path());
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "two");
  EXPECT_EQ(log_.lines().size(), 1u);
  ASSERT_EQ(other.lines().size(), 1u);
  EXPECT_TRUE(endsWith(other.lines()[0], " two"));

  // Rotated away: the file stays open for at most a second more, then a new
  // one is made at the path.
  const std::string rotated = other.path() + ".1";
  ASSERT_EQ(::rename(other.path().c_str(), rotated.c_str()), 0);
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "three");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "four");
  std::ifstream in(rotated);
  std::string first;
  std::getline(in, first);
  ::unlink(rotated.c_str());
  EXPECT_TRUE(endsWith(first, " two")) << first;
  ASSERT_FALSE(other.lines().empty());
  EXPECT_TRUE(endsWith(other.lines().back(), " four"));

  // No file, or one that can't be opened (said once): standard error.
  DWPlatformInfo::eraseValue("EventManager", "sLogFile");
  testing::internal::CaptureStderr();
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "a");
  DWPlatformInfo::setValue("EventManager", "sLogFile", "/nonexistent-dir/blr.log");
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "b");
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "c");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex(".* id=0 a\nEvDebug: couldn't open log file /nonexistent-dir/"
                                               "blr.log: [^\n]*\n.* id=0 b\n.* id=0 c\n")))
      << err;
}

}  // namespace
