#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrReg.h"
#include "BlrRegTesting.h"
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

struct Getter {
  const char* key;
  long long defaultValue;
  std::function<long long()> get;
  bool isBool;
};

// Every number key in load order, with its default and getter.
const std::vector<Getter>& numberGetters() {
  static const std::vector<Getter> getters = {
      {"nEnableJrnComp", 1, [] { return BlrReg::getEnableJrnComp(); }, false},
      {"nEnableNetComp", 0, [] { return BlrReg::getEnableNetComp(); }, true},
      {"nEnableNetEnc", 0, [] { return BlrReg::getEnableNetEnc(); }, true},
      {"nPerfLogIntervalSecs", 60, [] { return BlrReg::getPerfLogIntervalSecs(); }, false},
      {"nPerfDiagIntervalSecs", 600, [] { return BlrReg::getPerfDiagIntervalSecs(); }, false},
      {"nPerfDiagDurationSecs", 30, [] { return BlrReg::getPerfDiagDurationSecs(); }, false},
      {"nAuthTimeoutSecs", 120, [] { return BlrReg::getAuthTimeoutSecs(); }, false},
      {"nCtrlTimeoutSecs", 600, [] { return BlrReg::getCtrlTimeoutSecs(); }, false},
      {"nConnectIntervalSecs", 60, [] { return BlrReg::getConnectIntervalSecs(); }, false},
      {"nKeepAliveIntervalSecs", 600, [] { return BlrReg::getKeepAliveIntervalSecs(); }, false},
      {"nMinRPIntervalSecs", 60, [] { return BlrReg::getMinRPIntervalSecs(); }, false},
      {"nMaxRPIntervalSecs", 1200, [] { return BlrReg::getMaxRPIntervalSecs(); }, false},
      {"nVmStatsPushIntervalSecs", 30, [] { return BlrReg::getVmStatsPushIntervalSecs(); }, false},
      {"nMaxCacheDiskSizeMB", 8192, [] { return BlrReg::getMaxCacheDiskSizeMB(); }, false},
      {"nMaxCacheMemorySizeMB", 300, [] { return BlrReg::getMaxCacheMemorySizeMB(); }, false},
      {"nMaxQueueSizeMB", 256, [] { return BlrReg::getMaxQueueSizeMB(); }, false},
      {"nAllowBuiltinCerts", 0, [] { return BlrReg::getAllowBuiltinCerts(); }, true},
      {"nDumpSectorMD5", 0, [] { return BlrReg::getDumpSectorMD5(); }, true},
      {"nRpStoreCacheSizeMB", 1024, [] { return BlrReg::getRpStoreCacheSizeMB(); }, false},
      {"nMaxRpStoreSizeMB", 0, [] { return BlrReg::getMaxRpStoreSizeMB(); }, false},
      {"nSSBlockSize", 262144, [] { return BlrReg::getSSBlockSize(); }, false},
      {"nManualDrvInstall", 0, [] { return BlrReg::getManualDrvInstall(); }, true},
      {"nThrottleWrites", 1, [] { return BlrReg::getThrottleWrites(); }, true},
      {"nEnableCrosschecks", 0, [] { return BlrReg::getEnableCrosschecks(); }, true},
      {"nOptimizeCache", 1, [] { return BlrReg::getOptimizeCache(); }, true},
      {"nForcePeakTime", 0, [] { return BlrReg::getForcePeakTime(); }, true},
      {"nForceOffPeakTime", 0, [] { return BlrReg::getForceOffPeakTime(); }, true},
      {"nWinFsH2oThreadCount", 1, [] { return BlrReg::getWinFsH2oThreadCount(); }, false},
      {"nWinFsHasherThreadCount", 4, [] { return BlrReg::getWinFsHasherThreadCount(); }, false},
      {"nPairStatsIntervalSecs", 300, [] { return BlrReg::getPairStatsIntervalSecs(); }, false},
  };
  return getters;
}

TEST_F(BlrRegTest, EmptyStoreLogsEveryDefaultOnceInLoadOrder) {
  for (const Getter& g : numberGetters()) EXPECT_EQ(g.get(), g.defaultValue) << g.key;
  EXPECT_EQ(BlrReg::getConfigDir(), "/var/jr/BLR");
  EXPECT_EQ(BlrReg::getCacheDir(), "/var/jr/BLR");

  auto lines = recorder_.lines();
  ASSERT_EQ(lines.size(), 32u);
  for (const RecordedLine& l : lines) {
    EXPECT_EQ(l.function, "BlrReg");
    EXPECT_EQ(l.severity, 1);
  }
  EXPECT_EQ(lines[0].message, "BLR/nEnableJrnComp is not set. Defaulting to 1");
  EXPECT_EQ(lines[12].message, "BLR/nVmStatsPushIntervalSecs is not set. Defaulting to 30");
  EXPECT_EQ(lines[13].message, "BLR/sConfigDir is not set. Defaulting to /var/jr/BLR");
  EXPECT_EQ(lines[14].message, "BLR/sCacheDir is not set. Defaulting to /var/jr/BLR");
  EXPECT_EQ(lines[22].message, "BLR/nSSBlockSize is not set. Defaulting to 262144");
  EXPECT_EQ(lines[31].message, "BLR/nPairStatsIntervalSecs is not set. Defaulting to 300");

  // Within the minute the store is not read again.
  DWPlatformInfo::setNumber("BLR", "nCtrlTimeoutSecs", 30);
  clock_.advance(59);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  EXPECT_EQ(recorder_.lines().size(), 32u);
}

TEST_F(BlrRegTest, ChangesTakeEffectAfterAMinuteAndAreLoggedOnce) {
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  recorder_.clear();
  DWPlatformInfo::setNumber("BLR", "nCtrlTimeoutSecs", 30);
  DWPlatformInfo::setValue("BLR", "sCacheDir", "/cache");
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 30);
  EXPECT_EQ(BlrReg::getCacheDir(), "/cache");
  EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"BLR/nCtrlTimeoutSecs=30", "BLR/sCacheDir=/cache"}));

  recorder_.clear();
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 30);
  EXPECT_TRUE(recorder_.lines().empty());  // unchanged values are not logged again

  DWPlatformInfo::eraseValue("BLR", "nCtrlTimeoutSecs");
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCtrlTimeoutSecs(), 600);
  EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"BLR/nCtrlTimeoutSecs is not set. Defaulting to 600"}));
}

TEST_F(BlrRegTest, EachGetterReadsItsOwnKey) {
  long long distinct = 1000;
  for (const Getter& g : numberGetters()) DWPlatformInfo::setNumber("BLR", g.key, g.isBool ? 0 : distinct++);
  distinct = 1000;
  for (const Getter& g : numberGetters()) {
    if (!g.isBool) {
      EXPECT_EQ(g.get(), distinct++) << g.key;
    }
  }
  EXPECT_EQ(recorder_.messages().front(), "BLR/nEnableJrnComp=1000");

  // One truth value at a time.
  for (const Getter& on : numberGetters()) {
    if (!on.isBool) continue;
    DWPlatformInfo::setNumber("BLR", on.key, 1);
    clock_.advance(60);
    for (const Getter& g : numberGetters()) {
      if (g.isBool) {
        EXPECT_EQ(g.get(), &g == &on ? 1 : 0) << on.key << " set, " << g.key << " read";
      }
    }
    DWPlatformInfo::setNumber("BLR", on.key, 0);
  }
}

TEST_F(BlrRegTest, NumbersAreTruthValuesOrLow32Bits) {
  DWPlatformInfo::setNumber("BLR", "nAllowBuiltinCerts", 5);
  DWPlatformInfo::setNumber("BLR", "nThrottleWrites", 0);
  DWPlatformInfo::setNumber("BLR", "nEnableJrnComp", 7);
  DWPlatformInfo::setNumber("BLR", "nSSBlockSize", 0x100000010LL);
  EXPECT_TRUE(BlrReg::getAllowBuiltinCerts());
  EXPECT_FALSE(BlrReg::getThrottleWrites());
  EXPECT_EQ(BlrReg::getEnableJrnComp(), 7);  // the number itself
  EXPECT_EQ(BlrReg::getSSBlockSize(), 16);
}

TEST_F(BlrRegTest, MissingJobResultsDirectoryIsAnErrorOnEveryLoad) {
  DWPlatformInfo::eraseValue("Host", "sJobResultsDirectory");
  EXPECT_EQ(BlrReg::getConfigDir(), "");
  EXPECT_EQ(BlrReg::getCacheDir(), "");
  clock_.advance(60);
  EXPECT_EQ(BlrReg::getCacheDir(), "");
  std::vector<std::string> errors;
  for (const RecordedLine& l : recorder_.lines())
    if (l.severity == -1) errors.push_back(l.message);
  EXPECT_EQ(errors, (std::vector<std::string>(2, "Couldn't retrieve JobResults directory from pm1's registry")));
  EXPECT_EQ(recorder_.messages()[14], "BLR/sConfigDir is not set. Defaulting to ");
}

}  // namespace
