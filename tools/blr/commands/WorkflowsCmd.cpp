// blr failover | cancel-failover | failback | reset-after-failback |
// switch-roles: the recovery workflows on one pair, with their live progress.
#include <unistd.h>

#include <chrono>
#include <list>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BLR/BlrSvcWorkflow.h"
#include "Cli.h"
#include "commands/CliPairWorkflows.h"
#include "output/CliProgress.h"
#include "output/CliRecords.h"
#include "runs/RunExecutor.h"
#include "runs/RunLease.h"
#include "runs/RunWatch.h"

namespace {

using W = BlrSvcWorkflow;

struct Workflow {
  const char* title;  // "Failover"
  bool stepCodes;     // its errors carry step codes
  std::vector<const BlrWorkflowSteps*> groups;
  CliPairWorkflow run;
};

int exitStatus(const Workflow& wf, const CZuError& err) {
  if (!err.IsError()) return kExitOk;
  int code = err.Code();
  return wf.stepCodes && code >= BLR_WF_FIRST_CODE && code <= BLR_WF_LAST_CODE ? code
                                                                                : kExitFailure;
}

void printProgressTable(const Workflow& wf, int pairId,
                        const std::map<std::string, std::string>& props) {
  CliTable table({"PROGRESS", "STATE"});
  bool any = false;
  for (const auto* group : wf.groups)
    for (const BlrWorkflowStep& row : *group) {
      any = any || props.count(*row.property);
      table.add({row.displayLabel, row.showsValue ? W::progValue(props, *row.property)
                                                  : std::string(W::progStatus(props, *row.property))});
    }
  if (any)
    std::printf("\nProgress of pair %d\n%s", pairId, table.render().c_str());
  else
    std::printf("\nPair %d holds no progress of this workflow (cleared when done).\n", pairId);
}

// The record of a run of `kind` on pair `pairId` with options `o`.
BlrPlanDB::Run pairRun(const char* kind, int pairId, const PairWorkflowOptions& o) {
  BlrPlanDB::Run run;
  run.pairId = pairId;
  run.workflow = kind;
  run.options = cliWorkflowOptionsText(o);
  return run;
}

// How a workflow on one pair ended, wherever it ran.
struct PairOutcome {
  int runId = 0;
  int status = kExitOk;
  std::string error;  // one line
  uint64_t seqNum = 0;
  bool partial = false;
  int newPairId = 0;
  Json steps = Json::array();
  double seconds = 0;
};

// The end of a workflow on one pair: its outcome, then the pair's progress
// properties.  `err`, when known, is the failure in full (for --verbose).
int printOutcome(const Cli& cli, const Workflow& wf, int pairId, const PairOutcome& o,
                 const CZuError* err) {
  std::map<std::string, std::string> props;
  BlrDB::Pair after;
  bool exists = !BlrDB().getPair(pairId, &after).IsError() && after.id == pairId;
  if (exists) BlrDB().getPairProps(pairId, &props);  // only shown: a failure leaves it empty
  const bool failover = wf.run == cliFailoverPair;
  const bool failed = o.status != kExitOk;
  if (cli.json()) {
    Json out = {{"run", o.runId}, {"pair", pairId}, {"workflow", wf.title}, {"exitCode", o.status}};
    out["error"] = failed ? Json(o.error) : Json();
    if (failover && !failed) out["partial"] = o.partial;
    if (failover && o.seqNum != 0) out["seqNum"] = o.seqNum;
    if (o.newPairId > 0) out["newPairId"] = o.newPairId;
    out["steps"] = o.steps;
    out["progress"] = props;
    cli.printJson(out);
    return o.status;
  }
  if (failed) {
    std::printf("%s of pair %d failed after %.1fs (exit status %d)\n", wf.title, pairId,
                o.seconds, o.status);
    if (err != nullptr)
      cli.fail(*err, o.status);
    else
      cli.failText(o.error, o.status);
  } else {
    std::printf("%s of pair %d finished in %.1fs%s\n", wf.title, pairId, o.seconds,
                o.partial ? ", partially: failed steps were skipped" : "");
    if (o.seqNum != 0)
      std::printf("Recovery point: sequence number %llu\n",
                  static_cast<unsigned long long>(o.seqNum));
    if (o.newPairId > 0) std::printf("Reverse pair %d replaces pair %d\n", o.newPairId, pairId);
  }
  if (exists) printProgressTable(wf, pairId, props);
  return o.status;
}

void printStart(const Cli& cli, const Workflow& wf, const BlrDB::Pair& pair, int runId) {
  if (!cli.json())
    std::printf("%s of pair %d (%s): run %d\n", wf.title, pair.id,
                cliTerminalText(pair.srcName).c_str(), runId);
  std::fflush(stdout);
}

// --here: carries the workflow out in this process, recorded as run `kind`
// under a lease, holding the pair against every other run while it goes.
int runHere(const Cli& cli, const char* kind, const Workflow& wf, int pairId,
            const PairWorkflowOptions& o) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  BlrPlanDB::Run run = pairRun(kind, pairId, o);
  std::unique_ptr<RunLease> lease;
  CZuError err = RunLease::start(&run, &lease);
  BlrPlanDB::Member member;
  member.pairId = pairId;
  BlrPlanDB::RunPair rec;
  if (!err.IsError()) err = RunExecutor::recordStart(run.id, lease->runner(), member, 0, &rec);
  if (err.IsError()) {
    if (lease) lease->finish(BlrPlanDB::kFailed);
    return cli.fail(err);
  }
  printStart(cli, wf, pair, run.id);
  auto start = std::chrono::steady_clock::now();
  PairWorkflowResult result;
  PairOutcome out;
  out.runId = run.id;
  {
    CliProgress view(cli.json() ? nullptr : stdout, isatty(STDOUT_FILENO));
    view.attach();
    err = wf.run(pairId, o, view, &result);
    view.endStep(!err.IsError());
    out.steps = view.stepsJson();
  }
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.status = exitStatus(wf, err);
  out.error = err.IsError() ? cliOneLine(err.Summary()) : "";
  out.seqNum = rec.seqNum = result.seqNum;
  out.partial = result.partial;
  out.newPairId = result.newPairId;
  std::string error = out.error;
  if (RunExecutor::recordEnd(run.id, lease->runner(), out.status, cliJsonCompact(out.steps), &rec,
                             &error) != out.status ||
      out.status != kExitOk)
    lease->finish(BlrPlanDB::kFailed);
  else if (CZuError ended = lease->finish(BlrPlanDB::kDone); ended.IsError())
    cli.fail(ended);
  return printOutcome(cli, wf, pairId, out, err.IsError() ? &err : nullptr);
}

// A watched pair's steps, shown line by line as a run in this process shows
// them where the output is no terminal.
class PairStepLines : public RunView {
 public:
  void onStepBegin(const RunPair&, const Step& step) override {
    stepSeen_ = std::chrono::steady_clock::now();
    print(CliProgress::beginLine(step.title));
  }
  void onStepNews(const RunPair&, const Step& step) override {
    print(CliProgress::waitLine(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stepSeen_).count(),
        step.news));
  }
  void onStepEnd(const RunPair&, const Step& step) override {
    print(CliProgress::endLine(step));
  }

 private:
  static void print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  std::chrono::steady_clock::time_point stepSeen_ = std::chrono::steady_clock::now();
};

// How the part of pair `before` in ended run `run` went.
PairOutcome outcomeOf(const BlrPlanDB::Run& run, const Workflow& wf, const BlrDB::Pair& before) {
  PairOutcome o;
  o.runId = run.id;
  if (run.pairs.empty() || run.pairs.front().outcome == "running") {
    o.status = kExitFailure;
    o.error = "Run " + std::to_string(run.id) + " ended " + run.state + " before the pair's workflow ended";
    return o;
  }
  const BlrPlanDB::RunPair& p = run.pairs.front();
  o.status = p.exitCode;
  o.error = p.error;
  o.seqNum = p.seqNum;
  o.seconds = RunView::secondsOf(p);
  o.partial = wf.run == cliFailoverPair && RunView::partial(p);
  Json steps = Json::parse(p.steps.empty() ? "[]" : p.steps, nullptr, false);
  if (steps.is_array()) o.steps = steps;
  // The reverse pair protects the recovery VM from the former Tail.
  std::list<BlrDB::Pair> reverse;
  if (wf.run == cliSwitchRolesPair && o.status == kExitOk &&
      !BlrDB().getPairs(before.dstGuid, &reverse).IsError())
    for (const BlrDB::Pair& r : reverse)
      if (r.id != before.id && r.headClientId == before.tailClientId) o.newPairId = r.id;
  return o;
}

// The default: hands the workflow to a central server's runner and shows it
// as it goes, until it ends or the watching is interrupted.
int submitAndWatch(const Cli& cli, const char* kind, const Workflow& wf, int pairId,
                   const PairWorkflowOptions& o) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  BlrPlanDB::Run run = pairRun(kind, pairId, o);
  CZuError err = cliHandOverRun(&run);
  if (err.IsError()) return cli.fail(err);
  printStart(cli, wf, pair, run.id);
  PairStepLines lines;
  RunView quiet;
  BlrPlanDB::Run last;
  int rc = cliFollowRun(cli, run, cli.json() ? quiet : static_cast<RunView&>(lines), &last);
  if (rc != kExitOk) return rc;
  return printOutcome(cli, wf, pairId, outcomeOf(last, wf, pair), nullptr);
}

// A flag of a workflow command and the option it sets.
struct Flag {
  const char* name;
  bool PairWorkflowOptions::*option;
  const char* help;
};

// A command of one workflow on one pair.
struct Command {
  const char* name;
  const char* help;
  Workflow wf;
  std::vector<Flag> flags;
};

// Hands the workflow on the pair to a central server's runner.
int submitWorkflow(const Cli& cli, const char* kind, int pairId, const PairWorkflowOptions& o) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  return cliSubmitRun(cli, pairRun(kind, pairId, o));
}

void addCommand(Cli& cli, const Command& c) {
  auto args = std::make_shared<std::pair<int, PairWorkflowOptions>>();
  auto where = std::make_shared<CliRunPlace>();
  CLI::App* cmd = cli.app().add_subcommand(c.name, c.help);
  cmd->add_option("PAIR", args->first, "Pair id")->required()->check(kPositiveId);
  for (const Flag& f : c.flags) cmd->add_flag(f.name, args->second.*f.option, f.help);
  cliAddRunPlaceFlags(cmd, where.get());
  cli.on(cmd, [&cli, &c, args, where] {
    if (where->detach) return submitWorkflow(cli, c.name, args->first, args->second);
    if (where->here) return runHere(cli, c.name, c.wf, args->first, args->second);
    return submitAndWatch(cli, c.name, c.wf, args->first, args->second);
  });
}

}  // namespace

void addWorkflowCommands(Cli& cli) {
  using O = PairWorkflowOptions;
  static const Command kCommands[] = {
      {"failover",
       "Hand production over to the recovery VM (the Tail's)",
       {"Failover", true, {&blrFailoverSteps()}, cliFailoverPair},
       {{"--latest", &O::latest, "Drain the replication pipeline to the Tail first"},
        {"--continue-on-error", &O::continueOnError,
         "Report failed proxy steps and go on (a partial failover)"},
        {"--no-power-on", &O::noPowerOn, "Leave the recovery VM powered off"},
        {"--force", &O::force,
         "Power the recovery VM on even when the production VM could not be stopped"}}},
      {"cancel-failover",
       "Roll a failover back and restart the pair",
       {"Cancel of failover", false, {&blrFailoverSteps()}, cliCancelFailoverPair},
       {{"--keep-vm-off", &O::keepVmOff, "Leave the production VM powered off"},
        {"--force", &O::force,
         "Go on when the recovery VM can't be powered off (both VMs may then run)"}}},
      {"reset-after-failback",
       "Clean up after a failed failback and leave the pair stopped",
       {"Reset after failback",
        false,
        {&blrFailoverSteps(), &blrFailbackSteps()},
        cliResetAfterFailbackPair},
       {}},
      {"failback",
       "Copy the recovery VM's changes back and return production to the source VM",
       {"Failback", true, {&blrFailoverSteps(), &blrFailbackSteps()}, cliFailbackPair},
       {{"--no-wait", &O::noWait,
         "Return (status 201) while the reverse copy is still synchronising"}}},
      {"switch-roles",
       "Replace a failed-over pair by a reverse pair protecting the recovery VM",
       {"Switch of roles", true, {&blrSwitchRolesSteps()}, cliSwitchRolesPair},
       {{"--start", &O::startReverse, "Start the reverse pair on its Head (the former Tail)"}}},
  };
  for (const Command& c : kCommands) addCommand(cli, c);
}
