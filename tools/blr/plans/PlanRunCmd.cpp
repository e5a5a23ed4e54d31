// blr plans failover | cancel-failover | failback | reset-after-failback |
// switch-roles NAME: blr's workflow of one pair on every pair of a plan, in
// the plan's order and parallelism, with the pair's options, recorded as a
// run.
// Running it again resumes the latest run that did not finish well: pairs it
// has done are skipped, the others resume through their own progress.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Cli.h"
#include "commands/CliPairWorkflows.h"
#include "host/config/DWPlatformInfo.h"
#include "plans/CliPlans.h"
#include "output/CliProgress.h"
#include "plans/PlanRunner.h"
#include "runs/GroupBars.h"
#include "runs/RunExecutor.h"
#include "runs/RunLease.h"
#include "runs/RunWatch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PlanWorkflow {
  const char* name;   // "failback", as recorded in the run
  const char* title;  // "Failback"
  CliPairWorkflow run;
  const char* help;
};

// One line per pair: rewritten in place on a terminal, otherwise a line per
// change.  A plan of more pairs than a screen holds gets a bar per group on a
// terminal instead, and the lines of the pairs that failed at the end.
// Calls come from the pairs' threads.
class PlanDisplay {
 public:
  static constexpr size_t kMaxPairLines = 20;

  PlanDisplay(FILE* out, bool live, const BlrPlanDB::Plan& plan)
      : out_(out), live_(live), bars_(out) {
    for (const BlrPlanDB::Group& g : plan.groups) {
      for (const BlrPlanDB::Member& m : g.members) {
        row_[m.pairId] = lines_.size();
        group_[m.pairId] = counts_.size();
        lines_.push_back("pair " + std::to_string(m.pairId) + ": waiting");
      }
      counts_.emplace_back();
      counts_.back().total = g.members.size();
    }
    byGroup_ = lines_.size() > kMaxPairLines;
    if (live_ && out_) draw(false);
  }

  void show(int pairId, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string line = "pair " + std::to_string(pairId) + ": " + text;
    lines_[row_[pairId]] = line;
    if (out_ == nullptr || (live_ && byGroup_)) return;
    if (live_) return draw(true);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }

  // Pair `pairId` started (running), or ended well or not.
  enum class Change { kStarted, kDone, kFailed };
  void count(int pairId, Change change) {
    std::lock_guard<std::mutex> lock(mu_);
    GroupCount& c = counts_[group_[pairId]];
    if (change != Change::kStarted) --c.running;
    (change == Change::kStarted ? c.running : change == Change::kDone ? c.done : c.failed) += 1;
    if (change == Change::kFailed) failed_.push_back(pairId);
    if (out_ && live_ && byGroup_) draw(true);
  }

  // After the run: the lines of the pairs that failed, when bars hid them.
  void finish() {
    if (!(out_ && live_ && byGroup_)) return;
    for (int id : failed_) std::fprintf(out_, "%s\n", lines_[row_[id]].c_str());
    std::fflush(out_);
  }

 private:
  void draw(bool again) {
    if (byGroup_) return bars_.draw("", counts_);
    if (again) std::fprintf(out_, "\033[%zuA", lines_.size());
    for (const std::string& l : lines_) std::fprintf(out_, "\r\033[K%s\n", l.c_str());
    std::fflush(out_);
  }

  std::mutex mu_;
  FILE* out_;
  bool live_;
  bool byGroup_ = false;
  GroupBars bars_;
  std::vector<std::string> lines_;
  std::map<int, size_t> row_;
  std::map<int, size_t> group_;
  std::vector<GroupCount> counts_;
  std::vector<int> failed_;
};

// A pair's line once its work ended.
std::string endText(bool done, double seconds, bool partial, int exitCode,
                    const std::string& error) {
  char took[32];
  std::snprintf(took, sizeof took, "%.1fs", seconds);
  if (done)
    return std::string(partial ? "done partially (failed steps skipped) in " : "done in ") + took;
  return "failed after " + std::string(took) + " (exit status " + std::to_string(exitCode) +
         "): " + error;
}

// Shows each pair's progress on its line.
class PlanProgress : public RunExecutor::Listener {
 public:
  explicit PlanProgress(PlanDisplay& display) : display_(display) {}
  void onPairStart(int pairId) override {
    display_.show(pairId, "starting");
    display_.count(pairId, PlanDisplay::Change::kStarted);
  }
  void onPairStep(int pairId, const std::string& title) override { display_.show(pairId, title); }
  void onPairEnd(const PlanRunner::Result& r, double seconds,
                 const PairWorkflowResult& work) override {
    const bool done = r.outcome == PlanRunner::Outcome::kDone;
    display_.show(r.pairId, endText(done, seconds, work.partial, r.exitCode, r.error));
    display_.count(r.pairId, done ? PlanDisplay::Change::kDone : PlanDisplay::Change::kFailed);
  }

 private:
  PlanDisplay& display_;
};

// The same lines for a run a runner carries out, from its records.
class PlanWatch : public RunView {
 public:
  explicit PlanWatch(PlanDisplay& display) : display_(display) {}
  void onPairStart(const RunPair& p) override {
    display_.show(p.pairId, "starting");
    display_.count(p.pairId, PlanDisplay::Change::kStarted);
  }
  void onStepBegin(const RunPair& p, const Step& step) override {
    display_.show(p.pairId, step.title);
  }
  void onPairEnd(const RunPair& p) override {
    const bool done = p.outcome == "done";
    display_.show(p.pairId, endText(done, secondsOf(p), partial(p), p.exitCode, p.error));
    display_.count(p.pairId, done ? PlanDisplay::Change::kDone : PlanDisplay::Change::kFailed);
  }

 private:
  PlanDisplay& display_;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Lets each pair's thread keep its connection to the central server between
// requests: the link keeps at most nPoolSize idle connections, and one
// closed at every return would cost a new handshake at the next request.
void keepLinkConnections(const BlrPlanDB::Plan& plan) {
  long long threads = 1, kept = 4;  // the link's default
  for (const BlrPlanDB::Group& g : plan.groups) threads = std::max<long long>(threads, g.parallelism);
  DWPlatformInfo().getNumber("Link", "nPoolSize", &kept);
  if (kept < threads)
    DWPlatformInfo::setNumber("Link", "nPoolSize", std::min<long long>(threads, 1024));
}

// The latest run of this workflow, when it did not end "done": resumed.
CZuError findResumable(const std::string& plan, const char* workflow, BlrPlanDB::Run* run) {
  std::list<BlrPlanDB::Run> runs;
  CZuError err = BlrPlanDB().getRuns(plan, &runs);
  if (err.IsError()) return err;
  for (const BlrPlanDB::Run& r : runs) {
    if (r.workflow != workflow) continue;
    if (r.state != "done") return BlrPlanDB().getRun(r.id, run);
    break;
  }
  run->clear();
  return CZuError();
}

std::set<int> doneIn(const BlrPlanDB::Run& run) {
  std::set<int> done;
  for (const BlrPlanDB::RunPair& p : run.pairs)
    if (p.outcome == "done") done.insert(p.pairId);
  return done;
}

void printPlanStart(const Cli& cli, const PlanWorkflow& wf, const std::string& name, int runId,
                    size_t doneBefore) {
  if (cli.json()) return;
  std::printf("%s of plan %s: run %d%s\n", wf.title, name.c_str(), runId,
              doneBefore == 0
                  ? ""
                  : (", resumed: " + std::to_string(doneBefore) + " pairs done before").c_str());
  std::fflush(stdout);
}

// The end of a plan's run, wherever it ran: its pairs (--json), or a count
// of each outcome.
int printPlanEnd(const Cli& cli, const PlanWorkflow& wf, const std::string& name, int runId,
                 const std::vector<PlanRunner::Result>& results, Clock::time_point start,
                 bool runOk) {
  const CliPlanTally count(results);
  const bool ok = count.ok() && runOk;
  if (cli.json()) {
    cli.printJson(Json{{"run", runId},
                       {"plan", name},
                       {"workflow", wf.name},
                       {"pairs", cliPlanResultsJson(results)}});
  } else {
    std::printf(
        "%s of plan %s %s in %.1fs: %d done, %d failed, %d skipped (done before), %d not "
        "started\n",
        wf.title, name.c_str(), ok ? "finished" : "failed", secondsSince(start),
        count[PlanRunner::Outcome::kDone], count[PlanRunner::Outcome::kFailed],
        count[PlanRunner::Outcome::kSkipped], count[PlanRunner::Outcome::kNotStarted]);
  }
  return ok ? kExitOk : kExitFailure;
}

// The run this command carries on: the latest of this workflow that did not
// end "done" (a live one to be followed), or a new one.
CZuError runToCarryOn(const PlanWorkflow& wf, const PairWorkflowOptions& options,
                      const std::string& name, BlrPlanDB::Run* run) {
  // A run a gone blr process held ends "interrupted", and is resumed.
  CZuError err = RunLease::endAbandonedRuns();
  if (!err.IsError()) err = findResumable(name, wf.name, run);
  if (err.IsError() || run->id != 0) return err;
  run->planName = name;
  run->workflow = wf.name;
  run->options = cliWorkflowOptionsText(options);
  return CZuError();
}

// --detach: hands the run to a central server's runner.
int submitPlan(const Cli& cli, const PlanWorkflow& wf, const PairWorkflowOptions& options,
               const std::string& name) {
  BlrPlanDB::Run run;
  CZuError err = runToCarryOn(wf, options, name, &run);
  if (err.IsError()) return cli.fail(err);
  return cliSubmitRun(cli, run);
}

// --here: carries the run out in this process, holding it under a lease.
int runHere(const Cli& cli, const PlanWorkflow& wf, const PairWorkflowOptions& options,
            const std::string& name, const BlrPlanDB::Plan& plan) {
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = runToCarryOn(wf, options, name, &run);
  if (!err.IsError() && run.id != 0) {
    err = RunLease::takeOver(&run, &lease);
    // The pairs left go on with this command's options.
    run.options = cliWorkflowOptionsText(options);
  } else if (!err.IsError()) {
    err = RunLease::start(&run, &lease);
  }
  if (err.IsError()) return cli.fail(err);
  const std::set<int> done = doneIn(run);
  printPlanStart(cli, wf, name, run.id, done.size());
  keepLinkConnections(plan);
  Clock::time_point start = Clock::now();
  FILE* out = cli.json() ? nullptr : stdout;
  PlanDisplay display(out, out && isatty(STDOUT_FILENO), plan);
  PlanProgress progress(display);
  std::vector<PlanRunner::Result> results;
  err = RunExecutor::execute(run, *lease, progress, &results);
  display.finish();
  if (err.IsError()) cli.fail(err);
  return printPlanEnd(cli, wf, name, run.id, results, start, !err.IsError());
}

// The default: a central server's runner carries the run out (a run under
// way is followed as it is) while this command shows it.
int submitAndWatch(const Cli& cli, const PlanWorkflow& wf, const PairWorkflowOptions& options,
                   const std::string& name, const BlrPlanDB::Plan& plan) {
  BlrPlanDB::Run run;
  CZuError err = runToCarryOn(wf, options, name, &run);
  if (!err.IsError() && !run.live()) err = cliHandOverRun(&run);
  if (err.IsError()) return cli.fail(err);
  const std::set<int> done = doneIn(run);
  printPlanStart(cli, wf, name, run.id, done.size());
  Clock::time_point start = Clock::now();
  FILE* out = cli.json() ? nullptr : stdout;
  PlanDisplay display(out, out && isatty(STDOUT_FILENO), plan);
  PlanWatch watch(display);
  BlrPlanDB::Run last;
  if (int rc = cliFollowRun(cli, run, watch, &last)) return rc;
  display.finish();
  return printPlanEnd(cli, wf, name, run.id, cliPlanResultsOf(plan, last, done), start,
                      last.state == BlrPlanDB::kDone);
}

int runPlan(const Cli& cli, const PlanWorkflow& wf, const PairWorkflowOptions& options,
            const std::string& name, const CliRunPlace& where) {
  BlrPlanDB::Plan plan;
  if (int rc = cliLoadPlan(cli, name, &plan)) return rc;
  if (where.detach) return submitPlan(cli, wf, options, name);
  if (where.here) return runHere(cli, wf, options, name, plan);
  return submitAndWatch(cli, wf, options, name, plan);
}

// The command of `wf`; its flags fill the options it returns.
std::shared_ptr<PairWorkflowOptions> addPlanWorkflow(Cli& cli, CLI::App* plans,
                                                     const PlanWorkflow& wf, CLI::App** cmd) {
  *cmd = plans->add_subcommand(wf.name, wf.help);
  auto name = std::make_shared<std::string>();
  auto options = std::make_shared<PairWorkflowOptions>();
  (*cmd)->add_option("NAME", *name, "Plan name")->required();
  auto where = std::make_shared<CliRunPlace>();
  cliAddRunPlaceFlags(*cmd, where.get());
  cli.on(*cmd, [&cli, &wf, name, options, where] {
    return runPlan(cli, wf, *options, *name, *where);
  });
  return options;
}

}  // namespace

void addPlanRunCommands(Cli& cli, CLI::App* plans) {
  static const PlanWorkflow workflows[] = {
      {"failover", "Failover", cliFailoverPair,
       "Fail over every pair of a plan, group by group, and power the recovery VMs on"},
      {"cancel-failover", "Cancel of failover", cliCancelFailoverPair,
       "Roll back the failovers of a plan's pairs, group by group"},
      {"failback", "Failback", cliFailbackPair, "Fail back every pair of a plan, group by group"},
      {"reset-after-failback", "Reset after failback", cliResetAfterFailbackPair,
       "Clean up after failed failbacks of a plan's pairs, group by group"},
      {"switch-roles", "Switch of roles", cliSwitchRolesPair,
       "Replace every failed-over pair of a plan by its reverse pair, group by group"},
  };
  for (const PlanWorkflow& wf : workflows) {
    CLI::App* cmd = nullptr;
    std::shared_ptr<PairWorkflowOptions> options = addPlanWorkflow(cli, plans, wf, &cmd);
    if (wf.run == cliSwitchRolesPair)
      cmd->add_flag("--start", options->startReverse,
                    "Start each reverse pair on its Head (the former Tail)");
  }
}
