// What blr does to one pair for each recovery workflow: the library's
// workflow and blr's own steps around it (refusals while a pair is on its way
// back, the recovery VM powered on after a failover and off before a cancel,
// the recovery point read from the Tail).  `blr failover PAIR` and the other
// workflow commands run one pair with it; the plan runs call the same
// functions for each pair of a plan, each on a thread of its own.
#ifndef TOOLS_BLR_CLIPAIRWORKFLOWS_H
#define TOOLS_BLR_CLIPAIRWORKFLOWS_H

#include <cstdint>
#include <string>

#include "host/base/CZuError.h"

class BlrCtrlCache;
class CliProgress;

struct PairWorkflowOptions {
  bool latest = false;           // failover: drain the pipeline to the Tail first
  bool continueOnError = false;  // failover: report failed proxy steps and go on
  bool noPowerOn = false;        // failover: leave the recovery VM off
  bool keepVmOff = false;        // cancel-failover: leave the production VM off
  // failover: power the recovery VM on although the production VM is not
  // known to be off; cancel-failover: go on when the recovery VM can't be
  // powered off.
  bool force = false;
  bool noWait = false;        // failback: return (201) while the copy synchronises
  bool startReverse = false;  // switch-roles: start the reverse pair on its Head
  // Control connections to borrow and leave for the thread's next pair (may
  // be null: each pair opens its own).
  BlrCtrlCache* connections = nullptr;
};

// The options that are set, as a run records them: {"latest": true, ...};
// and back (what does not read is left unset).
std::string cliWorkflowOptionsText(const PairWorkflowOptions& options);
PairWorkflowOptions cliWorkflowOptionsFromText(const std::string& text);

struct PairWorkflowResult {
  bool partial = false;  // failover: failed proxy steps were skipped
  uint64_t seqNum = 0;   // failover: the Tail's last sequence number (0: not read)
  int newPairId = 0;     // switch-roles: the reverse pair, once it exists
};

// One workflow on pair `pairId`, on the calling thread.  blr's own steps are
// shown on `view`; the workflow's reach it as the thread's observer.  Errors
// carry the workflow's step code, or 1 for blr's own steps.
using CliPairWorkflow = CZuError (*)(int pairId, const PairWorkflowOptions& options,
                                     CliProgress& view, PairWorkflowResult* result);

CZuError cliFailoverPair(int pairId, const PairWorkflowOptions& options, CliProgress& view,
                         PairWorkflowResult* result);
CZuError cliCancelFailoverPair(int pairId, const PairWorkflowOptions& options, CliProgress& view,
                               PairWorkflowResult* result);
CZuError cliFailbackPair(int pairId, const PairWorkflowOptions& options, CliProgress& view,
                         PairWorkflowResult* result);
CZuError cliResetAfterFailbackPair(int pairId, const PairWorkflowOptions& options,
                                   CliProgress& view, PairWorkflowResult* result);
CZuError cliSwitchRolesPair(int pairId, const PairWorkflowOptions& options, CliProgress& view,
                            PairWorkflowResult* result);

#endif  // TOOLS_BLR_CLIPAIRWORKFLOWS_H
