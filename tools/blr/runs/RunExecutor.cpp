#include "runs/RunExecutor.h"

#include <chrono>
#include <ctime>
#include <functional>

#include "BLR/BlrDB.h"
#include "BLR/BlrSvcWorkflow.h"
#include "BLR/BlrTestBoot.h"
#include "Cli.h"
#include "host/link/DwLink.h"
#include "output/CliProgress.h"

namespace {

using Clock = std::chrono::steady_clock;
using Member = BlrPlanDB::Member;

// What a run of one kind does to one pair, on the pair's thread: 0 or an
// exit status, with `error` set on failure.  `steps` receives the steps.
using PairWork = int (*)(const BlrPlanDB::Run& run, const BlrPlanDB::Plan& plan,
                         const Member& member, BlrCtrlCache& connections, CliProgress& steps,
                         PairWorkflowResult* result, std::string* error);

int exitStatusOf(const CZuError& err, bool stepCodes, std::string* error) {
  if (!err.IsError()) return kExitOk;
  *error = cliOneLine(err.Summary());
  const int code = err.Code();
  return stepCodes && code >= BLR_WF_FIRST_CODE && code <= BLR_WF_LAST_CODE ? code : kExitFailure;
}

// The run's options with the pair's own: to the latest state, the
// production VM kept off (by a cancel), and continue on error, which also
// lets a failover go on past failed proxy steps.
PairWorkflowOptions pairOptions(const BlrPlanDB::Run& run, const Member& m) {
  PairWorkflowOptions o = cliWorkflowOptionsFromText(run.options);
  o.latest = o.latest || m.has(BlrPlanDB::PLAN_TO_LATEST);
  o.keepVmOff = o.keepVmOff || m.has(BlrPlanDB::PLAN_KEEP_PROD_OFF);
  o.continueOnError = o.continueOnError || m.has(BlrPlanDB::PLAN_CONTINUE_ON_ERROR);
  return o;
}

template <CliPairWorkflow workflow>
int workflowPair(const BlrPlanDB::Run& run, const BlrPlanDB::Plan&, const Member& member,
                 BlrCtrlCache& connections, CliProgress& steps, PairWorkflowResult* result,
                 std::string* error) {
  PairWorkflowOptions o = pairOptions(run, member);
  o.connections = &connections;
  CZuError err = workflow(member.pairId, o, steps, result);
  steps.endStep(!err.IsError());
  return exitStatusOf(err, true, error);
}

// A drill: test boots an earlier drill left on the pair are undone first
// (the run holds the pair, so no drill that runs can have left them).
int drillPair(const BlrPlanDB::Run& run, const BlrPlanDB::Plan& plan, const Member& member,
              BlrCtrlCache&, CliProgress& steps, PairWorkflowResult* result, std::string* error) {
  int undone = 0;
  BlrTestBoot boot(member.pairId);
  CZuError err = boot.cleanup(&undone);
  if (undone > 0) {
    steps.beginStep("Undid " + std::to_string(undone) + " test boot(s) left by a drill");
    steps.endStep(!err.IsError());
  }
  if (!err.IsError())
    err = boot.run(plan.healthTimeoutSecs, static_cast<uint64_t>(run.id), &result->seqNum);
  steps.endStep(!err.IsError());
  return exitStatusOf(err, false, error);
}

int cleanUpPair(const BlrPlanDB::Run&, const BlrPlanDB::Plan&, const Member& member,
                BlrCtrlCache&, CliProgress& steps, PairWorkflowResult*, std::string* error) {
  int undone = 0;
  steps.beginStep("Undoing the test boots a drill left");
  CZuError err = BlrTestBoot(member.pairId).cleanup(&undone);
  steps.endStep(!err.IsError());
  return exitStatusOf(err, false, error);
}

struct Kind {
  const char* name;
  PairWork work;
};

constexpr Kind kKinds[] = {
    {"failover", &workflowPair<cliFailoverPair>},
    {"cancel-failover", &workflowPair<cliCancelFailoverPair>},
    {"failback", &workflowPair<cliFailbackPair>},
    {"reset-after-failback", &workflowPair<cliResetAfterFailbackPair>},
    {"switch-roles", &workflowPair<cliSwitchRolesPair>},
    {"test", &drillPair},
    {"test-cleanup", &cleanUpPair},
};

const Kind* findKind(const std::string& name) {
  for (const Kind& k : kKinds)
    if (name == k.name) return &k;
  return nullptr;
}

// Records a pair's steps (through CliProgress, shown nowhere), tells the
// listener of each step, and writes the steps so far to the pair's record
// at most once a second, for those who watch the run.
class PairSteps : public CliProgress {
 public:
  using Publish = std::function<void(const std::string& steps)>;

  PairSteps(RunExecutor::Listener& listener, std::mutex& mu, int pairId, Publish publish)
      : CliProgress(nullptr, false),
        listener_(listener),
        mu_(mu),
        pairId_(pairId),
        publish_(std::move(publish)),
        published_(std::chrono::steady_clock::now()) {}
  void onStepBegin(int code, const std::string& title) override {
    CliProgress::onStepBegin(code, title);
    {
      std::lock_guard<std::mutex> lock(mu_);
      listener_.onPairStep(pairId_, title.substr(0, title.find('\n')));
    }
    publishDue();
  }
  void onWaitTick(const std::string& news) override {
    CliProgress::onWaitTick(news);
    publishDue();
  }

 private:
  void publishDue() {
    const auto now = std::chrono::steady_clock::now();
    if (now - published_ < std::chrono::seconds(1)) return;
    published_ = now;
    publish_(cliJsonCompact(stepsJson()));
  }

  RunExecutor::Listener& listener_;
  std::mutex& mu_;
  int pairId_;
  Publish publish_;
  std::chrono::steady_clock::time_point published_;
};

// One pair on its own thread, recorded before and after.  The requests of
// its work name the run's actor where the service is in this process.
int runPair(const Kind& kind, const BlrPlanDB::Run& run, const BlrPlanDB::Plan& plan,
            RunLease& lease, RunExecutor::Listener& listener, std::mutex& listenerMu,
            const Member& member, int groupNo, BlrCtrlCache& connections, std::string* error) {
  DwLink::ActingFor actor(run.actor.empty() ? run.user : run.actor);
  BlrPlanDB::RunPair rec;
  CZuError err = RunExecutor::recordStart(run.id, lease.runner(), member, groupNo, &rec);
  const Clock::time_point start = Clock::now();
  PairWorkflowResult result;
  std::string steps = "[]";
  int status = kExitFailure;
  if (err.IsError()) {
    *error = cliOneLine(err.Summary());
  } else {
    // Written only to be watched: a failed write changes nothing.
    PairSteps observer(listener, listenerMu, member.pairId, [&](const std::string& steps) {
      if (steps.size() > BlrPlanDB::kMaxStepsBytes) return;
      rec.steps = steps;
      BlrPlanDB().setRunPair(run.id, rec, lease.runner());
    });
    status = kind.work(run, plan, member, connections, observer, &result, error);
    steps = cliJsonCompact(observer.stepsJson());
  }
  rec.seqNum = result.seqNum;
  status = RunExecutor::recordEnd(run.id, lease.runner(), status, steps, &rec, error);
  PlanRunner::Result ended;
  ended.pairId = member.pairId;
  ended.groupNo = groupNo;
  ended.exitCode = status;
  ended.outcome = status == kExitOk ? PlanRunner::Outcome::kDone : PlanRunner::Outcome::kFailed;
  ended.error = *error;
  std::lock_guard<std::mutex> lock(listenerMu);
  listener.onPairEnd(ended, std::chrono::duration<double>(Clock::now() - start).count(), result);
  return status;
}

}  // namespace

bool RunExecutor::knows(const std::string& kind) { return findKind(kind) != nullptr; }

CZuError RunExecutor::planOf(const BlrPlanDB::Run& run, BlrPlanDB::Plan* plan) {
  if (!run.planName.empty()) {
    CZuError err = BlrPlanDB().getPlan(run.planName, plan);
    if (!err.IsError() && plan->id == 0)
      err = FXErrorUtil::ErrorInt(FXLOC, kExitNotFound, "No plan \"%s\"", run.planName.c_str());
    return err;
  }
  plan->clear();
  plan->healthTimeoutSecs = BlrTestBoot::DEFAULT_HEALTH_TIMEOUT_SECS;
  BlrPlanDB::Group group;
  group.parallelism = 1;
  Member member;
  member.pairId = run.pairId;
  member.options = 0;
  group.members.push_back(member);
  plan->groups.push_back(group);
  return CZuError();
}

CZuError RunExecutor::execute(const BlrPlanDB::Run& run, RunLease& lease, Listener& listener,
                              std::vector<PlanRunner::Result>* results) {
  const Kind* kind = findKind(run.workflow);
  BlrPlanDB::Plan plan;
  CZuError err = kind != nullptr ? planOf(run, &plan)
                                 : FXErrorUtil::ErrorInt(FXLOC, 1, "Runs of kind \"%s\" can't be "
                                                                   "carried out here",
                                                         run.workflow.c_str());
  if (err.IsError()) {
    lease.finish(BlrPlanDB::kFailed);
    return err.Push(FXLOC, "Couldn't carry out run %d", run.id);
  }
  std::set<int> done;
  for (const BlrPlanDB::RunPair& p : run.pairs)
    if (p.outcome == "done") done.insert(p.pairId);
  std::mutex listenerMu;
  std::vector<PlanRunner::Result> ended = PlanRunner::run(
      plan, done,
      [&](const Member& m, int groupNo, BlrCtrlCache& connections, std::string* error) {
        return runPair(*kind, run, plan, lease, listener, listenerMu, m, groupNo, connections,
                       error);
      },
      [&](const PlanRunner::Result& r, bool started) {
        if (started) listener.onPairStart(r.pairId);
      },
      [&] { return lease.stopping(); });
  bool ok = true, left = false;
  for (const PlanRunner::Result& r : ended) {
    ok = ok && r.outcome != PlanRunner::Outcome::kFailed &&
         r.outcome != PlanRunner::Outcome::kNotStarted;
    left = left || r.outcome == PlanRunner::Outcome::kNotStarted;
  }
  if (results) *results = std::move(ended);
  return lease.finish(ok ? BlrPlanDB::kDone : BlrPlanDB::kFailed, left);
}

CZuError RunExecutor::recordStart(int runId, const std::string& runner, const Member& member,
                                  int groupNo, BlrPlanDB::RunPair* rec) {
  rec->clear();
  rec->pairId = member.pairId;
  rec->groupNo = groupNo;
  rec->outcome = "running";
  rec->startTime = static_cast<uint64_t>(time(nullptr));
  BlrDB::Pair pair;
  CZuError err = BlrDB().getPair(member.pairId, &pair);
  if (!err.IsError() && pair.id == 0)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "No pair %d", member.pairId);
  if (err.IsError()) return err;
  rec->lagAtStart = pair.lagTime;
  return BlrPlanDB().setRunPair(runId, *rec, runner);
}

int RunExecutor::recordEnd(int runId, const std::string& runner, int status,
                           const std::string& steps, BlrPlanDB::RunPair* rec, std::string* error) {
  rec->outcome = status == kExitOk ? "done" : "failed";
  rec->endTime = static_cast<uint64_t>(time(nullptr));
  rec->exitCode = status;
  rec->error = error->substr(0, BlrPlanDB::kMaxErrorBytes);
  if (steps.size() <= BlrPlanDB::kMaxStepsBytes) rec->steps = steps;
  CZuError recorded = BlrPlanDB().setRunPair(runId, *rec, runner);
  if (recorded.IsError() && status == kExitOk) {
    *error = cliOneLine(recorded.Summary());
    return kExitFailure;
  }
  return status;
}
