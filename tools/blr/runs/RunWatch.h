// Runs handed to a runner: submitted from the command line, then followed
// from their records until they end.
#ifndef TOOLS_BLR_RUNWATCH_H
#define TOOLS_BLR_RUNWATCH_H

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "output/CliProgress.h"

// The exit status of a command whose watching was interrupted: the run goes on.
constexpr int kExitWatchInterrupted = 130;

// What a watcher is told as a run's records change, in the order it happened
// as far as the records show it.
class RunView {
 public:
  using RunPair = BlrPlanDB::RunPair;
  using Step = CliProgress::Step;

  virtual ~RunView() = default;

  // How long the pair's work took, as recorded (whole seconds).
  static double secondsOf(const RunPair& pair);
  // The pair's work ended well, past steps that failed.
  static bool partial(const RunPair& pair);

  virtual void onPairStart(const RunPair& /*pair*/) {}
  virtual void onStepBegin(const RunPair& /*pair*/, const Step& /*step*/) {}
  // The latest line of the step's wait changed.
  virtual void onStepNews(const RunPair& /*pair*/, const Step& /*step*/) {}
  virtual void onStepEnd(const RunPair& /*pair*/, const Step& /*step*/) {}
  virtual void onPairEnd(const RunPair& /*pair*/) {}
  // After each look, with the run as it stands.
  virtual void onLook(const BlrPlanDB::Run& /*run*/) {}
};

// Where a workflow command's run is carried out: by default a central
// server's runner carries it out while the command shows it.
struct CliRunPlace {
  bool here = false;    // --here: in this process
  bool detach = false;  // --detach: submitted, not watched
};
void cliAddRunPlaceFlags(CLI::App* command, CliRunPlace* place);

// Submits `run` for a central server's runner, or resumes run `run->id`
// when set; `run` receives the stored record, pairs included.
CZuError cliHandOverRun(BlrPlanDB::Run* run);

// Prints "run N" (with --json: {"run": N}), the last line of --detach.
int cliPrintSubmitted(const Cli& cli, int runId);

// Hands `run` over (cliHandOverRun) and prints "run N" as the last line
// (with --json: {"run": N}).  Returns the exit status.
int cliSubmitRun(const Cli& cli, BlrPlanDB::Run run);

// Follows run `before.id` from its records until it ends, telling `view`
// what changed since `before`.  Ctrl-C, a hang-up or a termination stop the
// following only: the command says how to follow the run again.  Returns 0
// with `last` holding the ended run, kExitWatchInterrupted, or the exit
// status of a failure it reported.
int cliFollowRun(const Cli& cli, const BlrPlanDB::Run& before, RunView& view,
                 BlrPlanDB::Run* last);

// blr runs watch: follows run `runId` until it ends, a line per pair as it
// starts and ends (a bar per group on a terminal).  Returns 0 when the run
// ended "done"; for a run of one pair, that pair's exit code; otherwise 1.
int cliWatchRun(const Cli& cli, int runId);

#endif  // TOOLS_BLR_RUNWATCH_H
