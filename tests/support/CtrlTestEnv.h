// The client side of the control-channel tests: this process is client
// "client1" (TestCerts) with short time-outs; simulated proxies come from
// WorkflowEnv.h.
#ifndef TESTS_CTRLTESTENV_H
#define TESTS_CTRLTESTENV_H

#include <gtest/gtest.h>

#include "BlrTesting.h"
#include "support/LinkTestEnv.h"
#include "support/WorkflowEnv.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DwLinkPool.h"
#include "support/Check.h"
#include "support/TempFile.h"

class CtrlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    DWPlatformInfo::reset();
    TlsConfig tls = TestCerts::get().config("client1");
    DWPlatformInfo::setValue("Security", "sCAFile", tls.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", tls.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", tls.keyFile);
    DWPlatformInfo::setValue("EventManager", "sLogFile", log_.path());
    setBlr("nAuthTimeoutSecs", 5);
    setBlr("nCtrlTimeoutSecs", 5);
  }
  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
    blrRegResetForTesting();
  }

  // Sets a [BLR] number and makes BlrReg read it at once.
  static void setBlr(const char* key, long long value) {
    DWPlatformInfo::setNumber("BLR", key, value);
    blrRegResetForTesting();
  }

  TempFile log_;
};

#endif  // TESTS_CTRLTESTENV_H
