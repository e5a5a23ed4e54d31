// The client side of the control-channel tests: this process is client
// "client1" (TestCerts) with short time-outs; simulated proxies come from
// WorkflowEnv.h.
#ifndef TESTS_CTRLTESTENV_H
#define TESTS_CTRLTESTENV_H

#include <gtest/gtest.h>

#include "base/BlrTesting.h"
#include "support/LinkTestEnv.h"
#include "support/WorkflowEnv.h"
#include "host/config/DWPlatformInfo.h"
#include "host/net/DwHostName.h"
#include "host/link/DwLinkPool.h"
#include "host/net/DwPortMap.h"
#include "support/Check.h"
#include "support/TempFile.h"

class CtrlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    DWPlatformInfo::reset();
    TestCerts::get().useInRegistry("client1");
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

// A port lookup of "anchor" that sends clients of BlrCtrlSvc to `port`, then `port2`.
struct FakeLookup {
  FakeLookup(int port, int port2) {
    DwLinkServerConfig config;
    config.address = "127.0.0.1";
    config.port = 0;
    config.tls = LinkTestEnv::get().server;
    EXPECT_OK(responder.start(config));
    responder.table().setPorts("BlrCtrlSvc", port, port2);
  }
  std::string mangled() const { return MangleHostName("127.0.0.1", "anchor", responder.port(), 0); }
  DwPortResponder responder;
};

#endif  // TESTS_CTRLTESTENV_H
