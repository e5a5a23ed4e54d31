// blr failover | cancel-failover | failback | reset-after-failback |
// switch-roles: the recovery workflows on one pair, with their live progress.
#include <unistd.h>

#include <chrono>
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

// Records the workflow on the pair as run `kind`, holding the pair against
// every other run while it goes.
int runWorkflow(const Cli& cli, const char* kind, const Workflow& wf, int pairId,
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
  if (!cli.json())
    std::printf("%s of pair %d (%s): run %d\n", wf.title, pairId,
                cliTerminalText(pair.srcName).c_str(), run.id);
  auto start = std::chrono::steady_clock::now();
  PairWorkflowResult result;
  Json steps;
  {
    CliProgress view(cli.json() ? nullptr : stdout, isatty(STDOUT_FILENO));
    view.attach();
    err = wf.run(pairId, o, view, &result);
    view.endStep(!err.IsError());
    steps = view.stepsJson();
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int status = exitStatus(wf, err);
  std::string error = err.IsError() ? cliOneLine(err.Summary()) : "";
  rec.seqNum = result.seqNum;
  if (RunExecutor::recordEnd(run.id, lease->runner(), status, cliJsonCompact(steps), &rec,
                             &error) != status ||
      status != kExitOk)
    lease->finish(BlrPlanDB::kFailed);
  else if (CZuError ended = lease->finish(BlrPlanDB::kDone); ended.IsError())
    cli.fail(ended);
  std::map<std::string, std::string> props;
  BlrDB::Pair after;
  bool exists = !BlrDB().getPair(pairId, &after).IsError() && after.id == pairId;
  if (exists) BlrDB().getPairProps(pairId, &props);  // only shown: a failure leaves it empty
  const bool failover = wf.run == cliFailoverPair;

  if (cli.json()) {
    Json out = {{"pair", pairId}, {"workflow", wf.title}, {"exitCode", status}};
    out["error"] = err.IsError() ? Json(cliOneLine(err.Summary())) : Json();
    if (failover && !err.IsError()) out["partial"] = result.partial;
    if (failover && result.seqNum != 0) out["seqNum"] = result.seqNum;
    if (result.newPairId > 0) out["newPairId"] = result.newPairId;
    out["steps"] = steps;
    out["progress"] = props;
    cli.printJson(out);
    return status;
  }
  if (err.IsError()) {
    std::printf("%s of pair %d failed after %.1fs (exit status %d)\n", wf.title, pairId, secs, status);
    cli.fail(err, status);
  } else {
    std::printf("%s of pair %d finished in %.1fs%s\n", wf.title, pairId, secs,
                result.partial ? ", partially: failed steps were skipped" : "");
    if (result.seqNum != 0)
      std::printf("Recovery point: sequence number %llu\n",
                  static_cast<unsigned long long>(result.seqNum));
    if (result.newPairId > 0)
      std::printf("Reverse pair %d replaces pair %d\n", result.newPairId, pairId);
  }
  if (exists) printProgressTable(wf, pairId, props);
  return status;
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
  auto detach = std::make_shared<bool>(false);
  CLI::App* cmd = cli.app().add_subcommand(c.name, c.help);
  cmd->add_option("PAIR", args->first, "Pair id")->required()->check(kPositiveId);
  for (const Flag& f : c.flags) cmd->add_flag(f.name, args->second.*f.option, f.help);
  cmd->add_flag("--detach", *detach, "Hand the run to a central server's runner and print \"run N\"");
  cli.on(cmd, [&cli, &c, args, detach] {
    return *detach ? submitWorkflow(cli, c.name, args->first, args->second)
                   : runWorkflow(cli, c.name, c.wf, args->first, args->second);
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
