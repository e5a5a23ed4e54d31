// The simulated replication service refuses what a real one could not do
// (its faults and control file: the workflow and command-line tests).
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

}  // namespace
