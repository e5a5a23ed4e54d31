// The simulated replication service: it refuses what a real one could not
// do, and takes its faults and settings from its control file.
#include <cstdio>

#include "BLR/BlrCtrl.h"
#include "support/CtrlTestEnv.h"

namespace {

ProxyRequest request(int msgId, int pairId = 0, int pairOp = 0, const BlrUUID& vm = BlrUUID()) {
  ProxyRequest r;
  r.msgId = msgId;
  r.pairId = pairId;
  r.pairOp = pairOp;
  r.vm = vm;
  return r;
}

TEST(ProxyStateTest, ImpossibleRequestsAreRefused) {
  SimReporter reporter(false);
  ProxyState state(&reporter);
  state.setSettings(SimProxy::instant());
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_PAIR_OP, 1, 9)).text, "Unknown pair operation 9");
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_RESP)).text, "Unexpected message BLR_CTRL_MSG_RESP (1)");
  BlrUUID vm(std::string("00112233445566778899aabbccddeeff"));
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_TESTBOOT_CROSSED, 0, 0, vm)).code, 2);
  // Deleting a missing snapshot is done; reverting to one is not possible.
  ProxyRequest snap = request(BLR_CTRL_MSG_DELETE_FAILOVER_SNAP, 4);
  EXPECT_EQ(state.handle(snap).code, 0);
  snap.revert = 1;
  EXPECT_EQ(state.handle(snap).code, 2);
  state.handle(request(BLR_CTRL_MSG_CREATE_FAILOVER_SNAP, 4));
  EXPECT_EQ(state.handle(snap).code, 0);
  EXPECT_TRUE(state.view().snapshots.empty());
}

// Faults name an operation by number, message or pair operation; the one
// of a pair operation comes before its message's.
TEST(ProxyConfigTest, FaultsNameOperationsAndActions) {
  ProxyFaultKey key;
  ProxyFault fault;
  ASSERT_OK(proxyParseFault("10=drop", &key, &fault));
  EXPECT_EQ(std::vector<int>({key.msgId, key.pairOp, fault.action}),
            std::vector<int>({10, 0, ProxyFault::kDrop}));
  ASSERT_OK(proxyParseFault("start=fail:7:busy: really", &key, &fault));
  EXPECT_EQ(std::vector<int>({key.msgId, key.pairOp, fault.code}), std::vector<int>({8, 6, 7}));
  EXPECT_EQ(fault.text, "busy: really");
  for (const char* bad : {"PING", "XYZ=drop", "21=drop", "PING=fail:x", "PING=explode"})
    EXPECT_TRUE(proxyParseFault(bad, &key, &fault).IsError()) << bad;
  ProxyFaults faults;
  faults[{8, 0}].action = ProxyFault::kDrop;
  faults[{8, 5}].action = ProxyFault::kHang;
  EXPECT_EQ(proxyFindFault(faults, 8, 5).action, ProxyFault::kHang);
  EXPECT_EQ(proxyFindFault(faults, 8, 6).action, ProxyFault::kDrop);
}

TEST(ProxyConfigTest, ControlFileOverlaysTheCommandLineWhileItLasts) {
  TempFile file;
  ProxySettings base;
  ProxyFaults baseFaults;
  baseFaults[{10, 0}].action = ProxyFault::kDrop;
  ProxyControl control(base, baseFaults, file.path());
  CZuError problem;
  file.write("# faults for the demo\nfault STOP = fail:3:stuck\nset sync-delay-ms 0\n"
             "set report-every-stop on\nvm pair3/head off  # the production VM\n");
  EXPECT_TRUE(control.refresh(&problem));
  EXPECT_FALSE(control.refresh(&problem));  // unchanged
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).text, "stuck");
  EXPECT_EQ(proxyFindFault(control.faults(), 10, 0).action, ProxyFault::kDrop);
  EXPECT_EQ(control.settings().syncDelayMs, 0);
  EXPECT_TRUE(control.settings().reportEveryStop);
  EXPECT_FALSE(control.settings().vmPower.at("pair3/head"));

  file.write("fault STOP=none\nset bogus 1\n");
  EXPECT_FALSE(control.refresh(&problem));
  EXPECT_THAT(problem.Summary(), HasSubstr("Line 2 \"set bogus 1\""));
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).text, "stuck");  // last good file holds

  std::remove(file.path().c_str());
  EXPECT_TRUE(control.refresh(&problem));
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).action, ProxyFault::kNone);
  EXPECT_EQ(control.settings().syncDelayMs, base.syncDelayMs);
  EXPECT_EQ(proxyFindFault(control.faults(), 10, 0).action, ProxyFault::kDrop);
}

}  // namespace
