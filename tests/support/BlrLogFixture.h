// Fixture for code that logs: an empty store whose log file is a temporary
// file, a manual clock, default debug levels and a recorder of sink calls.
#ifndef BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H
#define BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H

#include <gtest/gtest.h>

#include "BLR/BlrDebug.h"
#include "host/config/DWPlatformInfo.h"
#include "support/EvDebugRecorder.h"
#include "support/ManualClock.h"
#include "support/TempFile.h"

class BlrLogFixture : public ::testing::Test {
 protected:
  BlrLogFixture() : installer_(&clock_) {}

  void SetUp() override {
    DWPlatformInfo::reset();
    DWPlatformInfo::setValue("EventManager", "sLogFile", log_.path());
    blrDebugCopyToStdout(false);
    for (int s = BLR_DBG_BLR; s <= BLR_DBG_WINFS; ++s) blrSetDebugLevel(s, 0);
    // A day after the previous test's clock: every cached level is stale.
    static time_t start = 1700000000;
    clock_.set(start += 86400);
    recorder_.clear();
  }
  void TearDown() override { DWPlatformInfo::reset(); }

  ManualClock clock_;
  ManualClock::Installer installer_;
  TempFile log_;
  EvDebugRecorder recorder_;
};

#endif  // BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H
