#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "host/DWPlatformInfo.h"
#include "host/EvDebug.h"
#include "support/EvDebugRecorder.h"
#include "support/TempFile.h"

namespace {

class EvDebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DWPlatformInfo::reset();
    DWPlatformInfo::setValue("EventManager", "sLogFile", log_.path());
  }
  void TearDown() override { DWPlatformInfo::reset(); }

  TempFile log_;
};

TEST_F(EvDebugTest, RecordCarriesHeaderPrefixFunctionAndMessage) {
  EvDebug().handleMsgEventDebug(1, "BlrCtrl::connect", 7, "[vm1] ", "connected to %s:%d", "tail", 3128);
  EvDebug().handleMsgEventDebug(-1, nullptr, 0, "", "plain");
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u);
  std::string ids = std::to_string(getpid()) + " [0-9]+ ";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} " +
                                                    ids + "DEBUG id=7 \\[vm1\\] BlrCtrl::connect\\(\\): connected to tail:3128")))
      << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(" ERROR id=0 plain$"))) << lines[1];
}

TEST_F(EvDebugTest, MultiLineMessageKeepsTheHeaderOnEveryLine) {
  EvDebug().handleMsgEventDebug(1, "f", 2, "", "first\nsecond\n");
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u);  // the trailing newline adds no empty line
  EXPECT_TRUE(std::regex_search(lines[0], std::regex(" DEBUG id=2 f\\(\\): first$"))) << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(" DEBUG id=2 f\\(\\): second$"))) << lines[1];
}

TEST_F(EvDebugTest, FollowsAChangeOfTheLogFileKey) {
  TempFile other;
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "one");
  DWPlatformInfo::setValue("EventManager", "sLogFile", other.path());
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "two");
  EXPECT_EQ(log_.lines().size(), 1u);
  ASSERT_EQ(other.lines().size(), 1u);
  EXPECT_NE(other.read().find("two"), std::string::npos);
}

TEST_F(EvDebugTest, WithoutAFileRecordsGoToStandardError) {
  DWPlatformInfo::eraseValue("EventManager", "sLogFile");
  testing::internal::CaptureStderr();
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "to stderr");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("DEBUG id=0 to stderr\n"), std::string::npos);

  DWPlatformInfo::setValue("EventManager", "sLogFile", "/nonexistent-dir/blr.log");
  testing::internal::CaptureStderr();
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "a");
  EvDebug().handleMsgEventDebug(1, nullptr, 0, "", "b");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("couldn't open log file /nonexistent-dir/blr.log"), std::string::npos);
  EXPECT_EQ(err.find("couldn't open", err.find("couldn't open") + 1), std::string::npos);  // said once
  EXPECT_NE(err.find("id=0 b\n"), std::string::npos);
}

TEST_F(EvDebugTest, ThreadInstanceTagsRecordsWithoutAPrefix) {
  EvDebugRecorder recorder;
  EvDebugFileInstance outer = EvDebug().RefreshInstance();
  outer.setPrefix("[job]");
  outer.setId(12);
  {
    ThLvlEvDebugFileInstance scope(&outer);
    EXPECT_EQ(ThLvlEvDebugFileInstance::current(), &outer);
    EvDebug().handleMsgEventDebug(1, "g", 0, nullptr, "tagged");
    EvDebug().handleMsgEventDebug(1, "g", 3, "", "explicit");  // a given prefix wins
  }
  EXPECT_EQ(ThLvlEvDebugFileInstance::current(), nullptr);
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_search(lines[0], std::regex(" id=12 \\[job\\] g\\(\\): tagged$"))) << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(" id=3 g\\(\\): explicit$"))) << lines[1];
  // The observer sees the arguments as passed.
  ASSERT_EQ(recorder.lines().size(), 2u);
  EXPECT_FALSE(recorder.lines()[0].hasPrefix);
  EXPECT_EQ(recorder.lines()[0].id, 0);
}

TEST_F(EvDebugTest, ThreadInstancesNestAndSurviveOutOfOrderRelease) {
  EvDebugFileInstance a, b, c;
  auto first = std::make_unique<ThLvlEvDebugFileInstance>(&a);
  auto second = std::make_unique<ThLvlEvDebugFileInstance>(&b);
  {
    ThLvlEvDebugFileInstance third(&c);
    EXPECT_EQ(ThLvlEvDebugFileInstance::current(), &c);
  }
  EXPECT_EQ(ThLvlEvDebugFileInstance::current(), &b);
  first.reset();  // out of order
  EXPECT_EQ(ThLvlEvDebugFileInstance::current(), &b);
  second.reset();
  EXPECT_EQ(ThLvlEvDebugFileInstance::current(), nullptr);
}

}  // namespace
