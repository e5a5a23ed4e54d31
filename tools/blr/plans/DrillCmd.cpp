// blr plans test | test-cleanup NAME and blr pairs test | test-cleanup ID:
// drills that boot the recovery VMs from replicated data and check that they
// come up, without touching production; a plan's drill is recorded as a run
// of kind "test".  Test boots left by an interrupted drill are found through
// their boot VM records and undone, also before the next drill starts.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "BLR/BlrTestBoot.h"
#include "Cli.h"
#include "plans/CliPlans.h"
#include "output/CliProgress.h"
#include "plans/PlanRunner.h"
#include "runs/RunExecutor.h"
#include "runs/RunLease.h"
#include "runs/RunWatch.h"

namespace {

constexpr char kDrill[] = "test";  // the run records' kinds
constexpr char kDrillCleanup[] = "test-cleanup";

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Lines "pair N: ..." from the pairs' threads, one at a time; none for --json.
class DrillLog {
 public:
  explicit DrillLog(FILE* out) : out_(out) {}
  void show(int pairId, const std::string& text) {
    if (out_ == nullptr) return;
    std::lock_guard<std::mutex> lock(mu_);
    std::fprintf(out_, "pair %d: %s\n", pairId, text.c_str());
    std::fflush(out_);
  }

 private:
  std::mutex mu_;
  FILE* out_;
};

std::string endText(bool done, double seconds, const std::string& error) {
  char took[32];
  std::snprintf(took, sizeof took, "%.1fs", seconds);
  return done ? "test VM came up, done in " + std::string(took)
              : "failed after " + std::string(took) + ": " + error;
}

// Logs how each pair's drill goes.
class DrillProgress : public RunExecutor::Listener {
 public:
  explicit DrillProgress(DrillLog& log) : log_(log) {}
  void onPairStart(int pairId) override { log_.show(pairId, "starting"); }
  void onPairStep(int pairId, const std::string& title) override { log_.show(pairId, title); }
  void onPairEnd(const PlanRunner::Result& r, double seconds, const PairWorkflowResult&) override {
    log_.show(r.pairId, endText(r.outcome == PlanRunner::Outcome::kDone, seconds, r.error));
  }

 private:
  DrillLog& log_;
};

// The same lines for a drill a runner carries out, from its records.
class DrillWatch : public RunView {
 public:
  explicit DrillWatch(DrillLog& log) : log_(log) {}
  void onPairStart(const RunPair& p) override { log_.show(p.pairId, "starting"); }
  void onStepBegin(const RunPair& p, const Step& step) override {
    log_.show(p.pairId, step.title);
  }
  void onPairEnd(const RunPair& p) override {
    log_.show(p.pairId, endText(p.outcome == "done", secondsOf(p), p.error));
  }

 private:
  DrillLog& log_;
};

// Undoes the test boots left on `pairIds`; the number undone.
CZuError cleanUpPairs(const std::vector<int>& pairIds, DrillLog& log, int* undone) {
  *undone = 0;
  for (int id : pairIds) {
    int n = 0;
    CZuError err = BlrTestBoot(id).cleanup(&n);
    if (n > 0) log.show(id, "undid " + std::to_string(n) + " test boot(s) left by a drill");
    *undone += n;
    if (err.IsError()) return err;
  }
  return CZuError();
}

std::vector<int> planPairs(const BlrPlanDB::Plan& plan) {
  std::vector<int> ids;
  for (const BlrPlanDB::Group& g : plan.groups)
    for (const BlrPlanDB::Member& m : g.members) ids.push_back(m.pairId);
  return ids;
}

// Drill runs of the plan whose runner went away end as "interrupted", with
// the pairs they left running.  A drill that still runs is left alone: its
// pairs stay held, and the next run is refused naming it.
CZuError closeInterruptedRuns(const std::string& plan) {
  std::list<BlrPlanDB::Run> runs;
  BlrPlanDB db;
  CZuError err = db.getRuns(plan, &runs);
  for (auto r = runs.begin(); !err.IsError() && r != runs.end(); ++r) {
    if (r->workflow != kDrill || !r->live()) continue;
    BlrPlanDB::Run run = *r;
    std::unique_ptr<RunLease> lease;
    if (RunLease::takeOver(&run, &lease).IsError()) continue;
    for (auto p = run.pairs.begin(); !err.IsError() && p != run.pairs.end(); ++p) {
      if (p->outcome != "running") continue;
      p->outcome = "interrupted";
      p->exitCode = kExitFailure;
      p->error = "The drill was interrupted; its test boot was cleaned up";
      err = db.setRunPair(run.id, *p, lease->runner());
    }
    if (!err.IsError()) err = lease->finish(BlrPlanDB::kInterrupted);
  }
  return err;
}

// Holds `pairIds` (of plan `plan`, or the one pair) as a run of `kind`.
CZuError holdForDrill(const char* kind, const std::string& plan, int pairId,
                      BlrPlanDB::Run* run, std::unique_ptr<RunLease>* lease) {
  CZuError err = plan.empty() ? CZuError() : closeInterruptedRuns(plan);
  run->planName = plan;
  run->pairId = plan.empty() ? pairId : 0;
  run->workflow = kind;
  return err.IsError() ? err : RunLease::start(run, lease);
}

// Cleans up after interrupted drills of the plan, as a run of its own; 0 or
// the exit status of a failure already reported.
int cleanUpPlan(const Cli& cli, const BlrPlanDB::Plan& plan, DrillLog& log, int* undone) {
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = holdForDrill(kDrillCleanup, plan.name, 0, &run, &lease);
  if (!err.IsError()) err = cleanUpPairs(planPairs(plan), log, undone);
  if (lease) {
    CZuError ended = lease->finish(err.IsError() ? BlrPlanDB::kFailed : BlrPlanDB::kDone);
    if (!err.IsError()) err = ended;
  }
  return err.IsError() ? cli.fail(err) : kExitOk;
}

void printDrillStart(const Cli& cli, const BlrPlanDB::Plan& plan, int runId) {
  if (cli.json()) return;
  std::printf("Drill of plan %s: run %d, health time-out %d s\n", plan.name.c_str(), runId,
              plan.healthTimeoutSecs);
  std::fflush(stdout);
}

// The end of a plan's drill, wherever it ran; `undone` test boots were
// undone before it in this process.
int printDrillEnd(const Cli& cli, const std::string& name, int runId, int undone,
                  const std::vector<PlanRunner::Result>& results, Clock::time_point start,
                  bool runOk) {
  const CliPlanTally tally(results);
  const bool ok = tally.ok() && runOk;
  if (cli.json()) {
    cli.printJson(Json{{"run", runId},
                       {"plan", name},
                       {"cleanedUp", undone},
                       {"pairs", cliPlanResultsJson(results)}});
  } else {
    std::printf("Drill of plan %s %s in %.1fs: %d done, %d failed, %d not started\n",
                name.c_str(), ok ? "passed" : "failed", secondsSince(start),
                tally[PlanRunner::Outcome::kDone], tally[PlanRunner::Outcome::kFailed],
                tally[PlanRunner::Outcome::kNotStarted]);
  }
  return ok ? kExitOk : kExitFailure;
}

// --here: the drill in this process.
int drillHere(const Cli& cli, const BlrPlanDB::Plan& plan) {
  FILE* out = cli.json() ? nullptr : stdout;
  DrillLog log(out);
  // The pairs are held first: test boots found on them then belong to
  // drills that ended, never to one that runs.
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = holdForDrill(kDrill, plan.name, 0, &run, &lease);
  int undone = 0;
  if (!err.IsError()) err = cleanUpPairs(planPairs(plan), log, &undone);
  if (err.IsError()) {
    if (lease) lease->finish(BlrPlanDB::kFailed);
    return cli.fail(err);
  }
  printDrillStart(cli, plan, run.id);
  Clock::time_point start = Clock::now();
  DrillProgress progress(log);
  std::vector<PlanRunner::Result> results;
  err = RunExecutor::execute(run, *lease, progress, &results);
  if (err.IsError()) cli.fail(err);
  return printDrillEnd(cli, plan.name, run.id, undone, results, start, !err.IsError());
}

// The drill run a central server's runner is to carry out; each pair's
// drill there undoes the test boots left on it first.
CZuError submitDrill(const std::string& plan, BlrPlanDB::Run* run) {
  CZuError err = closeInterruptedRuns(plan);
  run->planName = plan;
  run->workflow = kDrill;
  return err.IsError() ? err : cliHandOverRun(run);
}

int drillPlan(const Cli& cli, const std::string& name, const CliRunPlace& where) {
  BlrPlanDB::Plan plan;
  if (int rc = cliLoadPlan(cli, name, &plan)) return rc;
  if (where.here) return drillHere(cli, plan);
  BlrPlanDB::Run run;
  CZuError err = submitDrill(name, &run);
  if (err.IsError()) return cli.fail(err);
  if (where.detach) return cliPrintSubmitted(cli, run.id);
  printDrillStart(cli, plan, run.id);
  Clock::time_point start = Clock::now();
  DrillLog log(cli.json() ? nullptr : stdout);
  DrillWatch watch(log);
  BlrPlanDB::Run last;
  if (int rc = cliFollowRun(cli, run, watch, &last)) return rc;
  return printDrillEnd(cli, name, run.id, 0, cliPlanResultsOf(plan, last, {}), start,
                       last.state == BlrPlanDB::kDone);
}

int cleanUpPlanCmd(const Cli& cli, const std::string& name) {
  BlrPlanDB::Plan plan;
  if (int rc = cliLoadPlan(cli, name, &plan)) return rc;
  DrillLog log(cli.json() ? nullptr : stdout);
  int undone = 0;
  if (int rc = cleanUpPlan(cli, plan, log, &undone)) return rc;
  if (cli.json())
    cli.printJson(Json{{"plan", name}, {"cleanedUp", undone}});
  else
    std::printf("Plan %s: %d test boot(s) cleaned up\n", name.c_str(), undone);
  return kExitOk;
}

struct PairDrillOptions {
  int pairId = 0;
  int healthTimeoutSecs = BlrTestBoot::DEFAULT_HEALTH_TIMEOUT_SECS;
};

int drillOnePair(const Cli& cli, const PairDrillOptions& o) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, o.pairId, &pair)) return rc;
  FILE* out = cli.json() ? nullptr : stdout;
  DrillLog log(out);
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = holdForDrill(kDrill, "", o.pairId, &run, &lease);
  int undone = 0;
  if (!err.IsError()) err = cleanUpPairs({o.pairId}, log, &undone);
  if (err.IsError()) {
    if (lease) lease->finish(BlrPlanDB::kFailed);
    return cli.fail(err);
  }
  if (out)
    std::printf("Drill of pair %d (%s)\n", o.pairId, cliTerminalText(pair.srcName).c_str());
  Clock::time_point start = Clock::now();
  uint64_t seqNum = 0;
  Json steps;
  {
    CliProgress view(out, out != nullptr && isatty(STDOUT_FILENO));
    view.attach();
    err = BlrTestBoot(o.pairId).run(o.healthTimeoutSecs, static_cast<uint64_t>(run.id), &seqNum);
    view.endStep(!err.IsError());
    steps = view.stepsJson();
  }
  CZuError ended = lease->finish(err.IsError() ? BlrPlanDB::kFailed : BlrPlanDB::kDone);
  if (!err.IsError()) err = ended;
  if (cli.json()) {
    cli.printJson(Json{{"pair", o.pairId},
                       {"cleanedUp", undone},
                       {"seqNum", seqNum},
                       {"error", err.IsError() ? Json(cliOneLine(err.Summary())) : Json()},
                       {"steps", steps}});
    return err.IsError() ? kExitFailure : kExitOk;
  }
  if (err.IsError()) return cli.fail(err);
  std::printf("Drill of pair %d passed in %.1fs: the test VM came up at sequence number %llu\n",
              o.pairId, secondsSince(start), static_cast<unsigned long long>(seqNum));
  return kExitOk;
}

int cleanUpPairCmd(const Cli& cli, int pairId) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  DrillLog log(cli.json() ? nullptr : stdout);
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = holdForDrill(kDrillCleanup, "", pairId, &run, &lease);
  int undone = 0;
  if (!err.IsError()) err = cleanUpPairs({pairId}, log, &undone);
  if (lease) {
    CZuError ended = lease->finish(err.IsError() ? BlrPlanDB::kFailed : BlrPlanDB::kDone);
    if (!err.IsError()) err = ended;
  }
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"pair", pairId}, {"cleanedUp", undone}});
  else
    std::printf("Pair %d: %d test boot(s) cleaned up\n", pairId, undone);
  return kExitOk;
}

}  // namespace

void addPlanDrillCommands(Cli& cli, CLI::App* plans) {
  CLI::App* cmd = plans->add_subcommand(
      "test", "Drill: boot every pair's recovery VM from replicated data, check it, shut it down");
  auto name = std::make_shared<std::string>();
  cmd->add_option("NAME", *name, "Plan name")->required();
  auto where = std::make_shared<CliRunPlace>();
  cliAddRunPlaceFlags(cmd, where.get());
  cli.on(cmd, [&cli, name, where] { return drillPlan(cli, *name, *where); });

  cmd = plans->add_subcommand("test-cleanup", "Undo the test boots an interrupted drill left");
  auto cleanName = std::make_shared<std::string>();
  cmd->add_option("NAME", *cleanName, "Plan name")->required();
  cli.on(cmd, [&cli, cleanName] { return cleanUpPlanCmd(cli, *cleanName); });
}

void addPairDrillCommands(Cli& cli, CLI::App* pairs) {
  auto o = std::make_shared<PairDrillOptions>();
  CLI::App* cmd = pairs->add_subcommand(
      "test", "Drill: boot the pair's recovery VM from replicated data, check it, shut it down");
  cmd->add_option("ID", o->pairId, "Pair id")->required()->check(kPositiveId);
  cmd->add_option("--health-timeout", o->healthTimeoutSecs,
                  "Seconds the test VM may take to report on (default 300)")
      ->check(CLI::Range(1, 86400));
  cli.on(cmd, [&cli, o] { return drillOnePair(cli, *o); });
  cli.addIdCommand(pairs, "test-cleanup", "Undo the test boots an interrupted drill left",
                   "Pair id", cleanUpPairCmd);
}
