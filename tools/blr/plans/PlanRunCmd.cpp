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

#include "Cli.h"
#include "commands/CliPairWorkflows.h"
#include "host/config/DWPlatformInfo.h"
#include "plans/CliPlans.h"
#include "output/CliProgress.h"
#include "plans/PlanRunner.h"
#include "runs/RunLease.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PlanWorkflow {
  const char* name;   // "failback", as recorded in the run
  const char* title;  // "Failback"
  CliPairWorkflow run;
  const char* help;
};

// The command's options with the pair's own: to the latest state, the
// production VM kept off (by a cancel), and continue on error, which also
// lets a failover go on past failed proxy steps.
PairWorkflowOptions pairOptions(const PairWorkflowOptions& command, const BlrPlanDB::Member& m) {
  PairWorkflowOptions o = command;
  o.latest = o.latest || m.has(BlrPlanDB::PLAN_TO_LATEST);
  o.keepVmOff = o.keepVmOff || m.has(BlrPlanDB::PLAN_KEEP_PROD_OFF);
  o.continueOnError = o.continueOnError || m.has(BlrPlanDB::PLAN_CONTINUE_ON_ERROR);
  return o;
}

// One line per pair: rewritten in place on a terminal, otherwise a line per
// change.  Calls come from the pairs' threads.
class PlanDisplay {
 public:
  PlanDisplay(FILE* out, bool live, const BlrPlanDB::Plan& plan) : out_(out), live_(live) {
    for (const BlrPlanDB::Group& g : plan.groups)
      for (const BlrPlanDB::Member& m : g.members) {
        row_[m.pairId] = lines_.size();
        lines_.push_back("pair " + std::to_string(m.pairId) + ": waiting");
      }
    if (live_ && out_) draw(false);
  }

  void show(int pairId, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string line = "pair " + std::to_string(pairId) + ": " + text;
    lines_[row_[pairId]] = line;
    if (out_ == nullptr) return;
    if (live_) return draw(true);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }

 private:
  void draw(bool again) {
    if (again) std::fprintf(out_, "\033[%zuA", lines_.size());
    for (const std::string& l : lines_) std::fprintf(out_, "\r\033[K%s\n", l.c_str());
    std::fflush(out_);
  }

  std::mutex mu_;
  FILE* out_;
  bool live_;
  std::vector<std::string> lines_;
  std::map<int, size_t> row_;
};

// Records a pair's steps (through CliProgress, shown nowhere) and shows the
// step that runs.
class PairSteps : public CliProgress {
 public:
  PairSteps(PlanDisplay& display, int pairId)
      : CliProgress(nullptr, false), display_(display), pairId_(pairId) {}
  void onStepBegin(int code, const std::string& title) override {
    CliProgress::onStepBegin(code, title);
    display_.show(pairId_, title.substr(0, title.find('\n')));
  }

 private:
  PlanDisplay& display_;
  int pairId_;
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

// Runs one pair on its own thread, recording it before and after.
int runPair(const PlanWorkflow& wf, const PairWorkflowOptions& options, int runId,
            PlanDisplay& display, const BlrPlanDB::Member& member, int groupNo,
            BlrCtrlCache& connections, std::string* error) {
  BlrPlanDB::RunPair rec;
  CZuError err = cliStartRunPair(runId, member, groupNo, &rec);
  Clock::time_point start = Clock::now();
  Json steps = Json::array();
  PairWorkflowResult result;
  if (!err.IsError()) {
    PairSteps observer(display, member.pairId);
    PairWorkflowOptions pairOpts = pairOptions(options, member);
    pairOpts.connections = &connections;
    err = wf.run(member.pairId, pairOpts, observer, &result);
    observer.endStep(!err.IsError());
    steps = observer.stepsJson();
  }
  int status = kExitOk;
  if (err.IsError()) {
    int code = err.Code();
    status = code >= BLR_WF_FIRST_CODE && code <= BLR_WF_LAST_CODE ? code : kExitFailure;
    *error = cliOneLine(err.Summary());
  }
  char took[32];
  std::snprintf(took, sizeof took, "%.1fs", secondsSince(start));
  display.show(member.pairId, status == kExitOk
                                  ? std::string(result.partial ? "done partially (failed steps "
                                                                 "skipped) in "
                                                               : "done in ") +
                                        took
                                  : "failed after " + std::string(took) + " (exit status " +
                                        std::to_string(status) + "): " + *error);
  rec.seqNum = result.seqNum;
  return cliFinishRunPair(runId, status, cliJsonCompact(steps), &rec, error);
}

int runPlan(const Cli& cli, const PlanWorkflow& wf, const PairWorkflowOptions& options,
            const std::string& name) {
  BlrPlanDB::Plan plan;
  if (int rc = cliLoadPlan(cli, name, &plan)) return rc;
  BlrPlanDB::Run run;
  std::unique_ptr<RunLease> lease;
  CZuError err = findResumable(name, wf.name, &run);
  if (!err.IsError() && run.id != 0) {
    err = RunLease::takeOver(&run, &lease);
  } else if (!err.IsError()) {
    run.planName = name;
    run.workflow = wf.name;
    run.options = cliWorkflowOptionsText(options);
    err = RunLease::start(&run, &lease);
  }
  if (err.IsError()) return cli.fail(err);
  std::set<int> done;
  for (const BlrPlanDB::RunPair& p : run.pairs)
    if (p.outcome == "done") done.insert(p.pairId);
  FILE* out = cli.json() ? nullptr : stdout;
  if (out)
    std::printf("%s of plan %s: run %d%s\n", wf.title, name.c_str(), run.id,
                done.empty()
                    ? ""
                    : (", resumed: " + std::to_string(done.size()) + " pairs done before").c_str());
  keepLinkConnections(plan);
  Clock::time_point start = Clock::now();
  PlanDisplay display(out, out && isatty(STDOUT_FILENO), plan);
  std::vector<PlanRunner::Result> results = PlanRunner::run(
      plan, done,
      [&](const BlrPlanDB::Member& m, int groupNo, BlrCtrlCache& connections,
          std::string* error) {
        return runPair(wf, options, run.id, display, m, groupNo, connections, error);
      },
      [&](const PlanRunner::Result& r, bool started) {
        if (started) display.show(r.pairId, "starting");
      },
      [&] { return lease->stopRequested() || lease->lost(); });
  const CliPlanTally count(results);
  const bool ok = count.ok();
  err = lease->finish(ok ? BlrPlanDB::kDone : BlrPlanDB::kFailed,
                      count[PlanRunner::Outcome::kNotStarted] > 0);
  if (err.IsError()) cli.fail(err);
  if (cli.json()) {
    cli.printJson(Json{{"run", run.id},
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
  return ok && !err.IsError() ? kExitOk : kExitFailure;
}

// The command of `wf`; its flags fill the options it returns.
std::shared_ptr<PairWorkflowOptions> addPlanWorkflow(Cli& cli, CLI::App* plans,
                                                     const PlanWorkflow& wf, CLI::App** cmd) {
  *cmd = plans->add_subcommand(wf.name, wf.help);
  auto name = std::make_shared<std::string>();
  auto options = std::make_shared<PairWorkflowOptions>();
  (*cmd)->add_option("NAME", *name, "Plan name")->required();
  cli.on(*cmd, [&cli, &wf, name, options] { return runPlan(cli, wf, *options, *name); });
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
