#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/DWPlatformInfo.h"

namespace {

class DWPlatformInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DWPlatformInfo::reset();
    char tmpl[] = "/tmp/blr-registry-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    DWPlatformInfo::reset();
    std::remove(path_.c_str());
  }
  void write(const std::string& text) {
    std::ofstream out(path_, std::ios::trunc);
    out << text;
  }

  std::string path_;
};

TEST_F(DWPlatformInfoTest, ReadsSectionsNumbersAndTexts) {
  write("# comment\n[BLR]\nnCtrlTimeoutSecs = 30\nsCacheDir = \" /a b \"\nnHex=0x10\nnBad = 12x\n"
        "; other comment\n[EventManager]\nBLR_DEBUGLEVEL=3\n");
  ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(path_).IsError());
  DWPlatformInfo info;
  long long n = 0;
  EXPECT_TRUE(info.getNumber("BLR", "nCtrlTimeoutSecs", &n));
  EXPECT_EQ(n, 30);
  EXPECT_TRUE(info.getNumber("BLR", "nHex", &n));
  EXPECT_EQ(n, 16);
  EXPECT_FALSE(info.getNumber("BLR", "nBad", &n));  // not a number
  EXPECT_TRUE(info.getNumber("EventManager", "BLR_DEBUGLEVEL", &n));
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(info.getNumber("EventManager", "nCtrlTimeoutSecs", &n));  // other section
  std::string s;
  EXPECT_TRUE(info.getString("BLR", "sCacheDir", &s));
  EXPECT_EQ(s, " /a b ");
  EXPECT_FALSE(info.getString("BLR", "sMissing", &s));
}

TEST_F(DWPlatformInfoTest, MalformedLineIsReported) {
  write("[BLR]\nnA = 1\njust text\n");
  CZuError err = DWPlatformInfo::loadRegistryFile(path_);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.Summary().find("line 3"), std::string::npos);
  long long n = 0;
  EXPECT_TRUE(DWPlatformInfo().getNumber("BLR", "nA", &n));  // the good lines still count
}

TEST_F(DWPlatformInfoTest, SeesEditsWithoutReload) {
  write("[BLR]\nnA = 1\n");
  ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(path_).IsError());
  long long n = 0;
  DWPlatformInfo info;
  ASSERT_TRUE(info.getNumber("BLR", "nA", &n));
  EXPECT_EQ(n, 1);
  write("[BLR]\nnA = 22\nnB = 5\n");
  ASSERT_TRUE(info.getNumber("BLR", "nA", &n));
  EXPECT_EQ(n, 22);
  EXPECT_TRUE(info.getNumber("BLR", "nB", &n));
  write("[BLR]\n");
  EXPECT_FALSE(info.getNumber("BLR", "nA", &n));
}

TEST_F(DWPlatformInfoTest, InProcessValuesWinOverTheFile) {
  write("[BLR]\nnA = 1\n");
  ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(path_).IsError());
  DWPlatformInfo::setNumber("BLR", "nA", 9);
  long long n = 0;
  DWPlatformInfo info;
  ASSERT_TRUE(info.getNumber("BLR", "nA", &n));
  EXPECT_EQ(n, 9);
  DWPlatformInfo::eraseValue("BLR", "nA");
  ASSERT_TRUE(info.getNumber("BLR", "nA", &n));
  EXPECT_EQ(n, 1);
}

TEST_F(DWPlatformInfoTest, PhysicalMachineAndJobResults) {
  DWPlatformInfo info;
  EXPECT_EQ(info.getPhysicalMachine(), nullptr);
  DWPlatformInfo::setValue("Host", "sClientName", "pm1");
  DWPlatformInfo::setValue("Host", "sJobResultsDirectory", "/var/jr");
  ASSERT_NE(info.getPhysicalMachine(), nullptr);
  EXPECT_STREQ(info.getPhysicalMachine(), "pm1");
  std::string dir;
  EXPECT_TRUE(DWPI_HostClient("pm1").getJobResultsDirectory(&dir));
  EXPECT_EQ(dir, "/var/jr");
  EXPECT_FALSE(DWPI_HostClient("other").getJobResultsDirectory(&dir));
}

}  // namespace
