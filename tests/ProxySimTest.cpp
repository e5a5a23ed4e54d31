#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "BLR/BlrCtrl.h"
#include "CtrlTestEnv.h"

namespace {

ProxyRequest request(int msgId, int pairId = 0, int pairOp = 0) {
  ProxyRequest r;
  r.msgId = msgId;
  r.pairId = pairId;
  r.pairOp = pairOp;
  return r;
}

ProxyRequest vmRequest(int msgId, const BlrUUID& vm) {
  ProxyRequest r = request(msgId);
  r.vm = vm;
  return r;
}

uint64_t result(const ProxyReply& reply, int tag) {
  for (const auto& [t, v] : reply.results)
    if (t == tag) return v;
  ADD_FAILURE() << "no result tag " << tag;
  return 0;
}

class ProxyStateTest : public ::testing::Test {
 protected:
  void configure(const std::function<void(ProxySettings&)>& change) {
    ProxySettings s = SimProxy::instant();
    change(s);
    state.setSettings(s);
  }
  ProxyReply pairOp(int pairId, int op) {
    return state.handle(request(BLR_CTRL_MSG_PAIR_OP, pairId, op));
  }

  SimReporter reporter{false};
  ProxyState state{&reporter};
  BlrUUID vm{std::string("00112233445566778899aabbccddeeff")};
};

TEST_F(ProxyStateTest, DelayedRunningReportIsDroppedOnceThePairStops) {
  configure([](ProxySettings& s) { s.syncDelayMs = 10; });
  pairOp(1, BLR_CTRL_PAIROP_START);
  pairOp(1, BLR_CTRL_PAIROP_STOP);
  pairOp(2, BLR_CTRL_PAIROP_START);
  EXPECT_EQ(reporter.statuses(2, 4), (std::vector<int>{3, 4}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // pair 1's report would be due
  EXPECT_EQ(reporter.statuses(1), (std::vector<int>{3, 6}));
}

TEST_F(ProxyStateTest, MarkersReachTheTailAfterTheFlushDelayUnlessBlocked) {
  configure([](ProxySettings&) {});
  uint64_t marker = result(state.handle(vmRequest(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ, vm)), 50);
  uint64_t next = result(state.handle(vmRequest(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ, vm)), 50);
  EXPECT_GE(next, marker);
  EXPECT_GE(result(state.handle(vmRequest(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, vm)), 18), next);

  state.handle(vmRequest(BLR_CTRL_MSG_FAILOVER_CROSSING, vm));
  uint64_t frozen = result(state.handle(vmRequest(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, vm)), 18);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(result(state.handle(vmRequest(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, vm)), 18), frozen);
  state.handle(vmRequest(BLR_CTRL_MSG_FAILOVER_CROSSED, vm));

  configure([](ProxySettings& s) { s.flushDelayMs = -1; });
  marker = result(state.handle(vmRequest(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ, vm)), 50);
  EXPECT_LT(result(state.handle(vmRequest(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, vm)), 18), marker);
}

TEST_F(ProxyStateTest, ImpossibleRequestsAreRefused) {
  configure([](ProxySettings&) {});
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_PAIR_OP, 0, BLR_CTRL_PAIROP_START)).text,
            "No pair ID given");
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_PAIR_OP, 1, 9)).text, "Unknown pair operation 9");
  EXPECT_EQ(state.handle(request(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ)).text, "No VM given");
  EXPECT_EQ(state.handle(vmRequest(BLR_CTRL_MSG_TESTBOOT_CROSSED, vm)).code, 2);
  // Deleting a missing snapshot is done; reverting to one is not possible.
  ProxyRequest snap = request(BLR_CTRL_MSG_DELETE_FAILOVER_SNAP, 4);
  EXPECT_EQ(state.handle(snap).code, 0);
  snap.revert = 1;
  EXPECT_EQ(state.handle(snap).code, 2);
  state.handle(request(BLR_CTRL_MSG_CREATE_FAILOVER_SNAP, 4));
  EXPECT_EQ(state.handle(snap).code, 0);
  EXPECT_TRUE(state.view().snapshots.empty());
}

// ---- Faults and the control file ----

TEST(ProxyConfigTest, FaultsNameOperationsAndActions) {
  struct Case {
    const char* spec;
    int msgId, pairOp;
    ProxyFault::Action action;
  } good[] = {
      {"10=drop", 10, 0, ProxyFault::kDrop},
      {"ping=delay:5", 10, 0, ProxyFault::kDelay},
      {"BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ=hang", 13, 0, ProxyFault::kHang},
      {"start=fail:7:busy: really", 8, 6, ProxyFault::kFail},
      {"BLR_CTRL_PAIROP_STOP=MALFORMED", 8, 5, ProxyFault::kMalformed},
      {"cleanup_pairs=empty", 9, 0, ProxyFault::kEmpty},
  };
  for (const Case& c : good) {
    ProxyFaultKey key;
    ProxyFault fault;
    CZuError err = proxyParseFault(c.spec, &key, &fault);
    ASSERT_FALSE(err.IsError()) << c.spec << ": " << err.Summary();
    EXPECT_EQ(key.msgId, c.msgId) << c.spec;
    EXPECT_EQ(key.pairOp, c.pairOp) << c.spec;
    EXPECT_EQ(fault.action, c.action) << c.spec;
  }
  ProxyFaultKey key;
  ProxyFault fault;
  ASSERT_FALSE(proxyParseFault("start=fail:7:busy: really", &key, &fault).IsError());
  EXPECT_EQ(fault.code, 7);
  EXPECT_EQ(fault.text, "busy: really");
  for (const char* bad : {"PING", "XYZ=drop", "21=drop", "PING=fail:0", "PING=fail:x",
                          "PING=delay:-1", "PING=drop:1", "PING=explode"})
    EXPECT_TRUE(proxyParseFault(bad, &key, &fault).IsError()) << bad;

  ProxyFaults faults;
  faults[{8, 0}].action = ProxyFault::kDrop;
  faults[{8, 5}].action = ProxyFault::kHang;
  EXPECT_EQ(proxyFindFault(faults, 8, 5).action, ProxyFault::kHang);
  EXPECT_EQ(proxyFindFault(faults, 8, 6).action, ProxyFault::kDrop);
  EXPECT_EQ(proxyFindFault(faults, 10, 0).action, ProxyFault::kNone);
}

TEST(ProxyConfigTest, ControlFileOverlaysTheCommandLineWhileItLasts) {
  TempFile file;
  ProxySettings base;
  ProxyFaults baseFaults;
  baseFaults[{10, 0}].action = ProxyFault::kDrop;
  ProxyControl control(base, baseFaults, file.path());
  CZuError problem;
  file.write("# faults for the demo\nfault STOP = fail:3:stuck\nset sync-delay-ms 0\n"
        "vm pair3/head off  # the production VM\n");
  EXPECT_TRUE(control.refresh(&problem));
  EXPECT_FALSE(control.refresh(&problem));  // unchanged
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).text, "stuck");
  EXPECT_EQ(proxyFindFault(control.faults(), 10, 0).action, ProxyFault::kDrop);
  EXPECT_EQ(control.settings().syncDelayMs, 0);
  EXPECT_FALSE(control.settings().vmPower.at("pair3/head"));

  file.write("fault STOP=none\nset bogus 1\n");
  EXPECT_FALSE(control.refresh(&problem));
  EXPECT_NE(problem.Summary().find("Line 2 \"set bogus 1\""), std::string::npos)
      << problem.Summary();
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).text, "stuck");  // last good file holds

  std::remove(file.path().c_str());
  EXPECT_TRUE(control.refresh(&problem));
  EXPECT_EQ(proxyFindFault(control.faults(), 8, 5).action, ProxyFault::kNone);
  EXPECT_EQ(control.settings().syncDelayMs, base.syncDelayMs);
  EXPECT_EQ(proxyFindFault(control.faults(), 10, 0).action, ProxyFault::kDrop);
}

// ---- The program ----

TEST_F(CtrlFixture, ProxyProgramServesLookupAndControlAndFollowsItsControlFile) {
  TempFile control;
  ProxyProcess proxy(BLR_PROXY_BIN, "anchor", 0,
                     {"--control-file", control.path(), "--set", "sync-delay-ms=0"});
  EXPECT_THAT(proxy.banner, StartsWith("blr-proxy anchor@127.0.0.1:"));
  BlrCtrl ctrl;
  EXPECT_OK(ctrl.connect(MangleHostName("127.0.0.1", "anchor", proxy.dwdPort, 0)));
  EXPECT_OK(ctrl.ping());
  control.write("fault PING=fail:4:from the control file\n");
  EXPECT_EQ(failure(ctrl.ping()), "4: Couldn't send BLR_CTRL_MSG_PING: from the control file");
  EXPECT_EQ(proxy.process.stop(), 0);
}

}  // namespace
