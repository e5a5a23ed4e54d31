// The recovery workflows end to end, as a job process runs them: the pair
// database in-process on SQLite, Head and Tail simulators over TLS, waits
// taken on a manual clock.
#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "BLR/BlrDebug.h"
#include "BLR/BlrSvcWorkflow.h"
#include "support/WorkflowEnv.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwConnGate.h"
#include "support/Check.h"
#include "support/EvDebugRecorder.h"
#include "support/ManualClock.h"

namespace {

using W = BlrSvcWorkflow;

// ---- State of an installation, as text ----

std::string vmName(const std::string& hex) {
  if (hex == WorkflowEnv::kSrcVm.toHex()) return "src";
  if (hex == WorkflowEnv::kDstVm.toHex()) return "dst";
  return hex;
}

std::string propsText(int pairId) {
  std::map<std::string, std::string> props;
  EXPECT_OK(BlrDB().getPairProps(pairId, &props));
  std::string text;
  for (const auto& [name, value] : props)
    if (name != BlrDB::PairProps::CUR_ANCHOR_TIME) text += " " + name + "=" + value;
  return text;
}

// A simulator's pairs (others than `pairId` unnamed), snapshots, blocked
// VMs and the power of `vm`.
std::string simText(SimProxy& sim, int pairId, const BlrUUID& vm, bool vmDefault) {
  static const char* const kRun[] = {"stopped", "syncing", "running", "paused"};
  ProxyStateView view = sim.state.view();
  std::ostringstream out;
  out << "pairs{";
  for (const auto& [id, p] : view.pairs)
    out << (id == pairId ? "orig" : "other") << ":" << kRun[p.run] << " ";
  out << "} snaps{";
  for (int id : view.snapshots) out << (id == pairId ? "orig" : "other") << " ";
  out << "} blocked{";
  for (const auto& entry : view.blocked) out << vmName(entry.first) << " ";
  auto power = view.vmPower.find(vm.toHex());
  out << "} vm:" << ((power == view.vmPower.end() ? vmDefault : power->second) ? "on" : "off");
  return out.str();
}

// The original pair, every other pair, and the simulators.
std::string stateText(WorkflowEnv& env, int pairId, bool withHead = true) {
  std::ostringstream out;
  BlrDB::Pair pair;
  EXPECT_OK(BlrDB().getPair(pairId, &pair));
  if (pair.id == 0)
    out << "pair: none\n";
  else
    out << "pair: status " << pair.statusCode << " flags " << pair.flags << " event "
        << pair.eventId << " props" << propsText(pairId) << "\n";
  std::list<BlrDB::Pair> all;
  EXPECT_OK(BlrDB().getPairs(BlrDB::Pair(), &all));
  for (const BlrDB::Pair& p : all)
    if (p.id != pairId)
      out << "other: status " << p.statusCode << " flags " << p.flags << " "
          << vmName(p.srcGuid.toHex()) << "->" << vmName(p.dstGuid.toHex()) << " props"
          << propsText(p.id) << "\n";
  if (withHead && env.head)
    out << "head: " << simText(*env.head, pairId, WorkflowEnv::kSrcVm, true) << "\n";
  if (env.tail) out << "tail: " << simText(*env.tail, pairId, WorkflowEnv::kDstVm, false) << "\n";
  return out.str();
}

const char kAfterFailover[] =
    "pair: status 14 flags 8 event 0 props failoverMarkerReceived=1 failoverPairPaused=1 "
    "failoverReplicationBlocked=1 failoverSnapTaken=1 failoverVmStopped=1 powerBeforeFailover=1 "
    "statusBeforeFailover=4\n"
    "head: pairs{orig:paused } snaps{} blocked{} vm:off\n"
    "tail: pairs{} snaps{orig } blocked{dst } vm:off\n";
// The pair restarted: the Head reports 3, then 4.
const char kAfterCancel[] =
    "pair: status 4 flags 0 event 0 props\n"
    "head: pairs{orig:running } snaps{} blocked{} vm:on\n"
    "tail: pairs{} snaps{} blocked{} vm:off\n";
const char kAfterFailback[] =
    "pair: status 4 flags 0 event 0 props\n"
    "head: pairs{orig:running } snaps{} blocked{} vm:on\n"
    "tail: pairs{orig:stopped } snaps{} blocked{} vm:off\n";
const char kAfterReset[] =
    "pair: status 6 flags 0 event 0 props\n"
    "tail: pairs{orig:stopped } snaps{} blocked{} vm:off\n";
const char kAfterSwitchRoles[] =
    "pair: none\n"
    "other: status 0 flags 32 dst->src props acrpInterval=3600 ccrpInterval=15 "
    "maxRpInterval=21600 maxRpStoreOfflineTime=900 recoveryMode=1 rpMergeDelay=43200 "
    "rpRetention=604800 useOffPeakSchedule=1 userStartTime=0\n"
    "head: pairs{} snaps{} blocked{} vm:off\n"
    "tail: pairs{orig:stopped } snaps{} blocked{dst } vm:on\n";

// ---- Fixture ----

class WorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<WorkflowEnv>(log_.path());
    DWPlatformInfo::setNumber("EventManager", "BLR_DEBUGLEVEL", 1);
    blrSetDebugLevel(BLR_DBG_BLR, 1);
    ASSERT_OK(env_->start());
  }
  void TearDown() override { env_.reset(); }

  int runningPair() {
    int id = 0;
    EXPECT_OK(env_->addPair(&id));
    return id;
  }
  int failedOverPair() {
    int id = 0;
    EXPECT_OK(env_->addFailedOverPair(&id));
    return id;
  }

  int status(int pairId) {
    BlrDB::Pair pair;
    EXPECT_OK(BlrDB().getPair(pairId, &pair));
    return pair.statusCode;
  }
  std::string prop(int pairId, const char* name) {
    std::string value;
    EXPECT_OK(BlrDB().getPairProp(pairId, name, &value));
    return value;
  }

  // "head OP=ACTION", "tail OP=ACTION" or "db REQUEST [TEXT]".
  void inject(const std::string& fault) {
    std::istringstream in(fault);
    std::string where, what, text;
    in >> where >> what >> text;
    if (where == "db")
      env_->tap->fail(what, text);
    else
      ASSERT_OK((where == "head" ? env_->head : env_->tail)->fault(what));
  }
  // Calls `then` whenever a `request` whose body holds `text` passed.
  void onRequest(const std::string& request, const std::string& text,
                 const std::function<void()>& then) {
    env_->tap->setObserver([request, text, then](const DwLinkSvc::Map& req) {
      std::vector<char> body = blrGetBlob(req);
      if (req.at("req") == request &&
          std::string(body.begin(), body.end()).find(text) != std::string::npos)
        then();
    });
  }

  ManualClock clock_;
  ManualClock::Installer installer_{&clock_};
  TempFile log_;
  EvDebugRecorder recorder_;
  std::unique_ptr<WorkflowEnv> env_;
};

// What a thread's workflow observer is told, one line per call.
class StepRecorder : public BlrWorkflowObserver {
 public:
  void onStepBegin(int code, const std::string& title) override {
    events.push_back("begin " + std::to_string(code) + " " + title);
  }
  void onStepEnd(bool ok) override { events.push_back(ok ? "end ok" : "end failed"); }
  void onWaitTick(const std::string& news) override { events.push_back("tick " + news); }
  void onFailure(const std::string& text) override {
    events.push_back("failure");
    failures.push_back(text);
  }

  std::vector<std::string> events;
  std::vector<std::string> failures;
};

// ---- Failover and cancel ----

TEST_F(WorkflowTest, FailoverStraightPathAndAgain) {
  int id = runningPair();
  // Progress left by an earlier failover is ignored.
  for (const char* name : {W::FOPROP_VM_STOPPED, W::FOPROP_SNAP_TAKEN, W::FBPROP_VM_STARTED})
    ASSERT_OK(BlrDB().setPairProp(id, name, "1"));
  bool partial = true;
  ASSERT_OK(W(id).failover(false, true, &partial));
  EXPECT_FALSE(partial);
  EXPECT_EQ(stateText(*env_, id), kAfterFailover);
  const std::vector<RecordedLine> lines = recorder_.lines();  // tagged with the pair's context
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [id](const RecordedLine& line) {
    return line.id == id && line.prefix == "[vm1] BlrSvcWorkflow::failover() - ";
  }));

  // Done already: the second call looks up, marks, and talks to no proxy.
  int head = env_->head->requests(), tail = env_->tail->requests();
  ASSERT_OK(W(id).failover(false, true, &partial));
  EXPECT_EQ(env_->head->requests(), head);
  EXPECT_EQ(env_->tail->requests(), tail);
  EXPECT_EQ(stateText(*env_, id), kAfterFailover);
}

// Runs lent the caller's connections use them and leave them there, except
// one a failed request left out of step.
TEST_F(WorkflowTest, RunsBorrowAndLeaveTheCallersConnections) {
  int id = runningPair();
  BlrCtrlCache connections;
  ASSERT_OK(W(id, &connections).failover(false, false, nullptr));
  EXPECT_EQ(connections.size(), 2u) << "the Head's and the Tail's";
  ASSERT_OK(W(id, &connections).cancelFailover(false));
  EXPECT_EQ(connections.size(), 2u) << "the cancel used them";
  ASSERT_OK(env_->tail->fault("FAILOVER_CROSSING=drop"));
  EXPECT_EQ(W(id, &connections).failover(false, false, nullptr).Code(), BLR_FO_BLOCK_REPLICATION);
  EXPECT_EQ(connections.size(), 1u) << "the Tail's was dropped";
}

// A proxy may close a connection idle between two steps (here: too many
// idle ones of this name); the next step opens another instead of failing.
TEST_F(WorkflowTest, AStepReopensAConnectionTheProxyClosedMeanwhile) {
  int id = runningPair();
  std::vector<std::unique_ptr<BlrCtrl>> crowd;
  onRequest("set_pair_prop", W::FOPROP_VM_STOPPED, [&] {
    if (!crowd.empty()) return;
    for (int i = 0; i <= DwConnLimits().maxIdlePerName; ++i) {
      crowd.push_back(std::make_unique<BlrCtrl>());
      ASSERT_OK(crowd.back()->connect(env_->head->mangled()));
    }
    // The run's connection, idle longest, was closed for the newest.
    ASSERT_EQ(env_->head->server.waitForConnections(DwConnLimits().maxIdlePerName, 5000),
              DwConnLimits().maxIdlePerName);
  });
  ASSERT_OK(W(id).failover(false, false, nullptr));
  EXPECT_FALSE(crowd.empty());
  EXPECT_EQ(prop(id, W::FOPROP_PAIR_PAUSED), "1");
}

TEST_F(WorkflowTest, ContinueOnErrorSkipsFailedProxySteps) {
  int id = runningPair();
  ASSERT_OK(BlrDB().setPairStatus(id, 3, "", 0));  // not running: no flush to the latest state
  inject("head PAUSE=fail:9:busy");
  inject("tail CREATE_FAILOVER_SNAP=fail:9:no space");
  bool partial = false;
  StepRecorder outer;
  {
    StepRecorder steps;  // the innermost observer is the thread's
    ASSERT_OK(W(id).failover(true, true, &partial));
    ASSERT_GT(steps.events.size(), 6u);
    EXPECT_EQ(steps.events[0], "begin 202 Stopping VM on the Head");
    EXPECT_EQ(steps.events[3], "failure");  // flushing: the pair is not running
    EXPECT_EQ(steps.events.back(), "end failed");
    ASSERT_EQ(steps.failures.size(), 3u);
    EXPECT_THAT(steps.failures[0], HasSubstr("Pair must be running before trying to failover"));
    EXPECT_THAT(steps.failures[1], HasSubstr("busy"));
    EXPECT_THAT(steps.failures[2], HasSubstr("Couldn't create failover snapshot"));
  }
  EXPECT_TRUE(outer.events.empty());
  EXPECT_EQ(blrGetWorkflowObserver(), &outer);
  EXPECT_TRUE(partial);
  EXPECT_EQ(prop(id, W::FOPROP_MARKER_RECEIVED), "1");  // injected anyway, and arrived
  EXPECT_EQ(prop(id, W::FOPROP_PAIR_PAUSED), "0");
  EXPECT_EQ(prop(id, W::FOPROP_REPLICATION_BLOCKED), "1");
  EXPECT_EQ(prop(id, W::FOPROP_SNAP_TAKEN), "0");
}

TEST_F(WorkflowTest, FlushGivesUpAfter300Seconds) {
  int id = runningPair();
  env_->tail->changeSettings([](ProxySettings& s) { s.flushDelayMs = -1; });  // no marker arrives
  time_t start = clock_.now();
  CZuError err = W(id).failover(false, true, nullptr);
  EXPECT_EQ(err.Code(), 203);
  EXPECT_THAT(err.AsString(), HasSubstr("Couldn't flush replication pipeline: timed out"));
  EXPECT_EQ(clock_.now() - start, 305);  // polls every 5 s until more than 300 s passed
  EXPECT_EQ(prop(id, W::FOPROP_MARKER_RECEIVED), "0");
}

TEST_F(WorkflowTest, InterruptedCancelIsRepeatedOrTheFailoverResumed) {
  int id = runningPair();
  ASSERT_OK(W(id).cancelFailover(false));  // nothing to undo
  EXPECT_EQ(stateText(*env_, id), kAfterCancel);
  ASSERT_OK(W(id).failover(false, true, nullptr));
  // The restart fails: FAILOVER stays, and cancelling again restarts.
  inject("head START=fail:5");
  EXPECT_THAT(W(id).cancelFailover(false).AsString(),
              HasSubstr("Couldn't start pair " + std::to_string(id) + " back"));
  env_->clearFaults();
  EXPECT_EQ(stateText(*env_, id, false).substr(0, 32), "pair: status 14 flags 8 event 0 ");
  ASSERT_OK(W(id).cancelFailover(false));
  EXPECT_EQ(stateText(*env_, id), kAfterCancel);

  // Killed once the production VM runs again: a resumed failover stops it.
  ASSERT_OK(W(id).failover(false, true, nullptr));
  onRequest("del_pair_prop", W::FOPROP_VM_STOPPED,
            [this] { env_->tap->fail("del_pair_prop"); });  // from the next request on
  inject("head START=fail:5");
  EXPECT_TRUE(W(id).cancelFailover(false).IsError());
  env_->clearFaults();
  ASSERT_OK(W(id).failover(false, true, nullptr));
  EXPECT_EQ(stateText(*env_, id), kAfterFailover);
}

// ---- Failback and reset ----

TEST_F(WorkflowTest, FailbackStopsWhenTheCopyBackCantFinish) {
  int id = failedOverPair();
  env_->tail->changeSettings([](ProxySettings& s) { s.missingVm = true; });
  EXPECT_EQ(W(id).failback(true).Code(), 217);
  EXPECT_EQ(status(id), W::STATUS_FAILBACK_FAILED);

  int hidden = std::stoi(prop(id, W::FBPROP_HIDDEN_PAIR_ID));
  ASSERT_OK(BlrDB().setPairStatus(hidden, 7, "", 0));
  EXPECT_EQ(failure(W(id).failback(true)), "209: Couldn't sync changes back: Pair " +
                                               std::to_string(hidden) + " has unexpected status 7");

  ASSERT_OK(W(id).resetAfterFailback());  // (a pair in another state: UndoStepTest)
  EXPECT_EQ(stateText(*env_, id, false), kAfterReset);
}

TEST_F(WorkflowTest, ResetRemovesAnUnrecordedHiddenPair) {
  int id = failedOverPair();
  // The hidden pair is made, but neither recorded nor deleted again.
  inject("db set_pair_prop failbackHiddenPairId");
  inject("db del_pairs");
  EXPECT_EQ(W(id).failback(true).Code(), 207);
  env_->clearFaults();
  ASSERT_OK(W(id).resetAfterFailback());
  EXPECT_EQ(stateText(*env_, id, false), kAfterReset);
}

// A failover refuses a stopped pair before writing anything.
TEST_F(WorkflowTest, WorkflowsRefusePairsInOtherStates) {
  int id = runningPair();
  ASSERT_OK(BlrDB().setPairStatus(id, W::STATUS_STOPPED, "", 0));
  int writes = env_->tap->requests();
  EXPECT_EQ(failure(W(id).failover(false, true, nullptr)),
            "200: Can't failover stopped pair " + std::to_string(id));
  EXPECT_EQ(env_->tap->requests() - writes, 2);  // the pair and its properties, read
  ASSERT_OK(BlrDB().setPairStatus(id, W::STATUS_FAILED_OVER, "", 0));  // no FAILOVER flag
  EXPECT_EQ(W(id).failback(true).Code(), 200);
  ASSERT_OK(BlrDB().setPairFlags(id, W::FAILOVER));
  ASSERT_OK(BlrDB().setPairStatus(id, W::STATUS_FAILING_OVER, "", 0));
  EXPECT_EQ(failure(W(id).failback(true)),
            "200: Can't failback pair " + std::to_string(id) + ": invalid pair state 14");
  ASSERT_OK(BlrDB().setPairStatus(id, W::STATUS_FAILING_BACK, "", 0));
  int newId = 0;
  EXPECT_EQ(W(id).switchRoles(&newId).Code(), 200);
  EXPECT_EQ(status(id), W::STATUS_FAILING_BACK);
}

// ---- Switch roles ----

TEST_F(WorkflowTest, SwitchRolesRemakesAReversePairThatVanished) {
  int id = failedOverPair();
  env_->tap->fail("del_pairs");
  int first = 0;
  EXPECT_EQ(W(id).switchRoles(&first).Code(), 206);
  env_->clearFaults();
  ASSERT_OK(BlrDB().delPair(first));
  int second = 0;
  ASSERT_OK(W(id).switchRoles(&second));
  EXPECT_EQ(stateText(*env_, id), kAfterSwitchRoles);
}

// ---- Every step fails once, and the next call finishes the work ----
// (A fault in the first step changes nothing: the next call is the straight path.)

enum class Flow { kFailover, kFailback, kSwitchRoles };

struct StepFault {
  const char* name;
  int code;           // of the failed call
  int statusAfter;    // of the pair after it
  const char* fault;  // see WorkflowTest::inject
  const char* after = nullptr;  // "db REQUEST TEXT": inject only once such a request passed
  Flow flow = Flow::kFailover;  // set by steps()
};

std::vector<StepFault> steps(Flow flow, std::vector<StepFault> faults) {
  for (StepFault& f : faults) f.flow = flow;
  return faults;
}

void PrintTo(const StepFault& f, std::ostream* out) { *out << f.name; }
std::string stepName(const ::testing::TestParamInfo<StepFault>& info) { return info.param.name; }

class WorkflowStepTest : public WorkflowTest, public ::testing::WithParamInterface<StepFault> {
 protected:
  // Injects the parameter's fault, at once or once its trigger passed.
  void injectFault() {
    const StepFault& f = GetParam();
    if (f.after == nullptr) return inject(f.fault);
    std::istringstream in(f.after);
    std::string db, request, text;
    in >> db >> request >> text;
    onRequest(request, text, [this, fault = std::string(f.fault)] { inject(fault); });
  }
  // The parameter's workflow.
  CZuError run(int id) {
    int newId = 0;
    switch (GetParam().flow) {
      case Flow::kFailover: return W(id).failover(false, true, nullptr);
      case Flow::kFailback: return W(id).failback(true);
      default: return W(id).switchRoles(&newId);
    }
  }
  // A pair the workflow starts from, the workflow run on it with the fault
  // (code and status checked), and the fault cleared.
  int failOnce() {
    int id = GetParam().flow == Flow::kFailover ? runningPair() : failedOverPair();
    injectFault();
    CZuError err = run(id);
    env_->clearFaults();
    EXPECT_EQ(err.Code(), GetParam().code) << err.AsString();
    EXPECT_EQ(status(id), GetParam().statusAfter);
    return id;
  }
};

// (The reverse pair's REVERSE flag, 32, shows in kAfterSwitchRoles.)
TEST_P(WorkflowStepTest, ResumeFinishesTheWork) {
  static const char* const kAfter[] = {kAfterFailover, kAfterFailback, kAfterSwitchRoles};
  int id = failOnce();
  ASSERT_OK(run(id));
  EXPECT_EQ(stateText(*env_, id), kAfter[static_cast<int>(GetParam().flow)]);
}

// A cancel undoes what a failover did; a reset cleans up a failed failback
// and leaves any other alone.
using UndoStepTest = WorkflowStepTest;
TEST_P(UndoStepTest, UndoCleansUp) {
  int id = failOnce();
  if (GetParam().flow == Flow::kFailover) {
    ASSERT_OK(W(id).cancelFailover(false));
    EXPECT_EQ(stateText(*env_, id), kAfterCancel);
    return;
  }
  ASSERT_OK(W(id).resetAfterFailback());
  if (GetParam().statusAfter == W::STATUS_FAILBACK_FAILED)
    EXPECT_EQ(stateText(*env_, id, false), kAfterReset);
  else
    EXPECT_EQ(status(id), GetParam().statusAfter);
}

const std::vector<StepFault> kFailoverSteps = steps(Flow::kFailover, {
    {"ReadPair", 201, 4, "db get_pairs"},
    {"SetFlag", 1, 4, "db set_pair_flags"},
    {"RecordStatus", 201, 4, "db set_pair_prop statusBeforeFailover"},
    {"SetStatus", 201, 4, "db set_pair_status"},
    {"StopVm", 202, 14, "head POWER_ON_OFF_VM_REQ=fail:5"},
    {"RecordVmStopped", 201, 14, "db set_pair_prop failoverVmStopped"},
    {"InjectMarker", 203, 14, "head INS_FLUSH_MARKER_REQ=fail:5"},
    {"QuerySeqNum", 203, 14, "tail GET_LAST_SEQNUM_REQ=fail:5"},
    {"Pause", 204, 14, "head PAUSE=fail:5"},
    {"Block", 205, 14, "tail FAILOVER_CROSSING=fail:5"},
    {"Snapshot", 206, 14, "tail CREATE_FAILOVER_SNAP=fail:5"}});
const std::vector<StepFault> kFailbackSteps = steps(Flow::kFailback, {
    {"SetStatus", 202, 16, "db set_pair_status"},
    {"DeleteSnapshot", 203, 18, "tail DELETE_FAILOVER_SNAP=fail:5"},
    {"StopProductionVm", 204, 18, "head POWER_ON_OFF_VM_REQ=fail:5"},
    {"StopOriginal", 205, 18, "head STOP=fail:5"},
    {"CleanOriginal", 206, 18, "head CLEANUP=fail:5"},
    {"CreateHidden", 207, 18, "db create_or_update_pair"},
    {"ConfigureHidden", 207, 18, "db set_pair_props"},
    {"RecordHidden", 207, 18, "db set_pair_prop failbackHiddenPairId"},
    {"StartHidden", 208, 18, "tail START=fail:5"},
    {"QueryHidden", 202, 18, "db get_pairs",
     "db set_pair_prop failbackHiddenPairStarted"},
    {"StopRecoveryVm", 210, 18, "tail POWER_ON_OFF_VM_REQ=fail:5"},
    {"RecordRecoveryVmStopped", 202, 18, "db set_pair_prop failbackRecoveryVmStopped"},
    {"InjectMarker", 211, 18, "tail INS_FLUSH_MARKER_REQ=fail:5"},
    {"QuerySeqNum", 211, 18, "head GET_LAST_SEQNUM_REQ=fail:5"},
    {"StopHidden", 212, 18, "tail STOP=fail:5"},
    {"CleanHidden", 213, 18, "tail CLEANUP=fail:5"},
    {"DeleteHidden", 214, 18, "db del_pairs"},
    {"StartProductionVm", 215, 18, "head POWER_ON_OFF_VM_REQ=fail:5",
     "db set_pair_prop failbackHiddenPairDeleted"},
    {"Unblock", 216, 18, "tail FAILOVER_CROSSED=fail:5"},
    {"Restart", 216, 18, "head START=fail:5"},
    {"ClearFlag", 1, 18, "db clr_pair_flags"}});
const std::vector<StepFault> kSwitchRolesSteps = steps(Flow::kSwitchRoles, {
    {"SetStatus", 201, 16, "db set_pair_status"},
    {"DeleteSnapshot", 202, 20, "tail DELETE_FAILOVER_SNAP=fail:5"},
    {"StopOriginal", 203, 20, "head STOP=fail:5"},
    {"CleanOriginal", 204, 20, "head CLEANUP=fail:5"},
    {"CreateReverse", 205, 20, "db create_or_update_pair"},
    {"ConfigureReverse", 205, 20, "db set_pair_props"},
    {"RecordReverse", 205, 20, "db set_pair_prop switchRolesReversePairId"},
    {"DeleteOriginal", 206, 20, "db del_pairs"}});

INSTANTIATE_TEST_SUITE_P(Failover, WorkflowStepTest, ::testing::ValuesIn(kFailoverSteps), stepName);
INSTANTIATE_TEST_SUITE_P(Failover, UndoStepTest, ::testing::ValuesIn(kFailoverSteps), stepName);
INSTANTIATE_TEST_SUITE_P(Failback, WorkflowStepTest, ::testing::ValuesIn(kFailbackSteps), stepName);
INSTANTIATE_TEST_SUITE_P(Failback, UndoStepTest, ::testing::ValuesIn(kFailbackSteps), stepName);
INSTANTIATE_TEST_SUITE_P(SwitchRoles, WorkflowStepTest, ::testing::ValuesIn(kSwitchRolesSteps),
                         stepName);

// ---- Interrupted returns, whatever the replication service reported ----

// A failback or switch of roles whose process dies: its failed status is
// never written.  The parameter: the Head reports every stop (6), as a real
// replication service may, or holds back while a workflow owns the status.
class InterruptedTest : public WorkflowTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    WorkflowTest::SetUp();
    bool everyStop = GetParam();
    env_->head->changeSettings([everyStop](ProxySettings& s) { s.reportEveryStop = everyStop; });
  }
  // No status is written once a `request` whose body holds `text` passed.
  void dieAfter(const std::string& request, const std::string& text) {
    onRequest(request, text, [this] { env_->tap->fail("set_pair_status"); });
  }
  // A workflow that dies after stopping the original pair (recorded under
  // `stopped`) with `code`; the pair is stopped or still in `ownStatus`.
  void diesAfterStop(int id, const char* stopped, int code, int ownStatus,
                     const std::function<CZuError()>& workflow) {
    dieAfter("set_pair_prop", stopped);
    inject("head CLEANUP=fail:5");
    EXPECT_EQ(workflow().Code(), code);
    env_->clearFaults();
    EXPECT_EQ(status(id), GetParam() ? W::STATUS_STOPPED : ownStatus);
  }
  void failbackDiesAfterStop(int id) {
    diesAfterStop(id, W::FBPROP_ORIG_PAIR_STOPPED, 206, W::STATUS_FAILING_BACK,
                  [id] { return W(id).failback(true); });
  }
};

TEST_P(InterruptedTest, FailbackResumesAfterStoppingTheOriginalPair) {
  int id = failedOverPair();
  failbackDiesAfterStop(id);
  ASSERT_OK(W(id).failback(true));
  EXPECT_EQ(stateText(*env_, id), kAfterFailback);
}

TEST_P(InterruptedTest, ResetCleansUpAStoppedFailback) {
  int id = failedOverPair();
  failbackDiesAfterStop(id);
  ASSERT_OK(W(id).resetAfterFailback());
  if (GetParam()) {
    EXPECT_EQ(stateText(*env_, id, false), kAfterReset);
  } else {  // still failing back: resumed instead
    EXPECT_EQ(status(id), W::STATUS_FAILING_BACK);
    ASSERT_OK(W(id).failback(true));
    EXPECT_EQ(stateText(*env_, id), kAfterFailback);
  }
}

TEST_P(InterruptedTest, FailbackResumesAfterRestartingTheOriginalPair) {
  int id = failedOverPair();
  inject("db clr_pair_flags");
  dieAfter("clr_pair_flags", "");
  EXPECT_TRUE(W(id).failback(true).IsError());
  env_->clearFaults();
  EXPECT_EQ(status(id), 4);  // as the Head reported the restart
  ASSERT_OK(W(id).failback(true));
  EXPECT_EQ(stateText(*env_, id), kAfterFailback);
}

TEST_P(InterruptedTest, SwitchRolesResumesAfterStoppingTheOriginalPair) {
  int id = failedOverPair(), newId = 0;
  diesAfterStop(id, W::SRPROP_ORIG_PAIR_STOPPED, 204, W::STATUS_SWITCHING_ROLES,
                [&] { return W(id).switchRoles(&newId); });
  ASSERT_OK(W(id).switchRoles(&newId));
  EXPECT_EQ(stateText(*env_, id), kAfterSwitchRoles);
}

INSTANTIATE_TEST_SUITE_P(Stops, InterruptedTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "EveryStopReported" : "WorkflowStatusKept";
                         });

}  // namespace
