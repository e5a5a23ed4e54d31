// Runs handed to a runner: submitted from the command line, then followed
// from their records until they end.
#ifndef TOOLS_BLR_RUNWATCH_H
#define TOOLS_BLR_RUNWATCH_H

#include "BLR/BlrPlanDB.h"
#include "Cli.h"

// Submits `run` for a central server's runner (or resumes run `run.id`
// when set) and prints "run N" as the last line (with --json: {"run": N}).
// Returns the exit status.
int cliSubmitRun(const Cli& cli, BlrPlanDB::Run run);

// Follows run `runId` until it ends, a line per pair as it starts and ends.
// Ctrl-C stops the following only.  Returns 0 when the run ended "done";
// for a run of one pair, that pair's exit code; otherwise 1.
int cliWatchRun(const Cli& cli, int runId);

#endif  // TOOLS_BLR_RUNWATCH_H
