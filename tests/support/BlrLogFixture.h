// Fixture for tests of code that logs: an empty configuration store whose log
// file is a temporary file, a manual clock, default debug levels and a
// recorder of every line handed to the sink.
#ifndef BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H
#define BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H

#include <gtest/gtest.h>

#include "BLR/BlrDebug.h"
#include "host/DWPlatformInfo.h"
#include "support/EvDebugRecorder.h"
#include "support/ManualClock.h"
#include "support/TempFile.h"

class BlrLogFixture : public ::testing::Test {
 protected:
  static constexpr int kSubsystems = 11;

  BlrLogFixture() : installer_(&clock_) {}

  void SetUp() override {
    DWPlatformInfo::reset();
    DWPlatformInfo::setValue("EventManager", "sLogFile", log_.path());
    blrDebugCopyToStdout(false);
    for (int s = 0; s < kSubsystems; ++s) blrSetDebugLevel(s, 0);
    // A day after the previous test's clock: every cached level is stale.
    static time_t start = 1700000000;
    start += 86400;
    clock_.set(start);
    recorder_.clear();
  }
  void TearDown() override {
    blrDebugCopyToStdout(false);
    DWPlatformInfo::reset();
  }

  ManualClock clock_;
  ManualClock::Installer installer_;
  TempFile log_;
  EvDebugRecorder recorder_;
};

#endif  // BLR_TESTS_SUPPORT_BLRLOGFIXTURE_H
