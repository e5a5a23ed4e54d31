#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrReg.h"
#include "base/BlrTesting.h"
#include "support/BlrLogFixture.h"

namespace {

class BlrRegTest : public BlrLogFixture {
 protected:
  void SetUp() override {
    BlrLogFixture::SetUp();
    blrRegResetForTesting();
    DWPlatformInfo::setValue("Host", "sClientName", "pm1");
    DWPlatformInfo::setValue("Host", "sJobResultsDirectory", "/var/jr");
  }
  void TearDown() override {
    blrRegResetForTesting();
    BlrLogFixture::TearDown();
  }
};

// The number keys in load order, and what their getters return.
const char* const kNumberKeys[] = {
    "nEnableJrnComp", "nEnableNetComp", "nEnableNetEnc", "nPerfLogIntervalSecs", "nPerfDiagIntervalSecs",
    "nPerfDiagDurationSecs", "nAuthTimeoutSecs", "nCtrlTimeoutSecs", "nConnectIntervalSecs",
    "nKeepAliveIntervalSecs", "nMinRPIntervalSecs", "nMaxRPIntervalSecs", "nVmStatsPushIntervalSecs",
    "nMaxCacheDiskSizeMB", "nMaxCacheMemorySizeMB", "nMaxQueueSizeMB", "nAllowBuiltinCerts", "nDumpSectorMD5",
    "nRpStoreCacheSizeMB", "nMaxRpStoreSizeMB", "nSSBlockSize", "nManualDrvInstall", "nThrottleWrites",
    "nEnableCrosschecks", "nOptimizeCache", "nForcePeakTime", "nForceOffPeakTime", "nWinFsH2oThreadCount",
    "nWinFsHasherThreadCount", "nPairStatsIntervalSecs"};
const std::vector<bool> kIsTruthValue = {0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 0};

std::vector<long long> numberValues() {
  using R = BlrReg;
  return {R::getEnableJrnComp(), R::getEnableNetComp(), R::getEnableNetEnc(), R::getPerfLogIntervalSecs(),
          R::getPerfDiagIntervalSecs(), R::getPerfDiagDurationSecs(), R::getAuthTimeoutSecs(),
          R::getCtrlTimeoutSecs(), R::getConnectIntervalSecs(), R::getKeepAliveIntervalSecs(),
          R::getMinRPIntervalSecs(), R::getMaxRPIntervalSecs(), R::getVmStatsPushIntervalSecs(),
          R::getMaxCacheDiskSizeMB(), R::getMaxCacheMemorySizeMB(), R::getMaxQueueSizeMB(),
          R::getAllowBuiltinCerts(), R::getDumpSectorMD5(), R::getRpStoreCacheSizeMB(), R::getMaxRpStoreSizeMB(),
          R::getSSBlockSize(), R::getManualDrvInstall(), R::getThrottleWrites(), R::getEnableCrosschecks(),
          R::getOptimizeCache(), R::getForcePeakTime(), R::getForceOffPeakTime(), R::getWinFsH2oThreadCount(),
          R::getWinFsHasherThreadCount(), R::getPairStatsIntervalSecs()};
}

TEST_F(BlrRegTest, EmptyStoreLogsEveryDefaultOnce) {
  EXPECT_EQ(numberValues(), (std::vector<long long>{1, 0, 0, 60, 600, 30, 120, 600, 60, 600, 60, 1200, 30, 8192,
                                                    300, 256, 0, 0, 1024, 0, 262144, 0, 1, 0, 1, 0, 0, 1, 4, 300}));
  EXPECT_EQ(BlrReg::getConfigDir(), "/var/jr/BLR");
  EXPECT_EQ(BlrReg::getCacheDir(), "/var/jr/BLR");

  auto lines = recorder_.lines();  // each default once
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[0].function, "BlrReg");
  EXPECT_EQ(lines[0].message, "BLR/nEnableJrnComp is not set. Defaulting to 1");
  EXPECT_EQ(lines[13].message, "BLR/sConfigDir is not set. Defaulting to /var/jr/BLR");
  EXPECT_EQ(lines[14].message, "BLR/sCacheDir is not set. Defaulting to /var/jr/BLR");
}

TEST_F(BlrRegTest, ChangesTakeEffectAfterAMinuteAndAreLoggedOnce) {
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  recorder_.clear();
  DWPlatformInfo::setNumber("BLR", "nCtrlTimeoutSecs", 30);
  DWPlatformInfo::setValue("BLR", "sCacheDir", "/cache");
  clock_.advance(59);  // within the minute the store is not read again
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  clock_.advance(1);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 30);
  EXPECT_EQ(BlrReg::getCacheDir(), "/cache");
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 30);  // unchanged: not logged again
  DWPlatformInfo::eraseValue("BLR", "nCtrlTimeoutSecs");
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"BLR/nCtrlTimeoutSecs=30", "BLR/sCacheDir=/cache",
                                                            "BLR/nCtrlTimeoutSecs is not set. Defaulting to 600"}));
}

TEST_F(BlrRegTest, EachGetterReadsItsOwnKey) {
  // Distinct numbers; truth values alternate so that two swapped ones differ.
  std::vector<long long> expected;
  for (size_t i = 0; i < kIsTruthValue.size(); ++i) {
    long long stored = kIsTruthValue[i] ? 5 * (i % 2) : 1000 + i;
    DWPlatformInfo::setNumber("BLR", kNumberKeys[i], stored);
    expected.push_back(kIsTruthValue[i] ? stored != 0 : stored);
  }
  EXPECT_EQ(numberValues(), expected);
  EXPECT_EQ(recorder_.messages().front(), "BLR/nEnableJrnComp=1000");
  // Only the low 32 bits of a number count.
  DWPlatformInfo::setNumber("BLR", "nSSBlockSize", 0x100000010LL);
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getSSBlockSize(), 16);
}

}  // namespace
