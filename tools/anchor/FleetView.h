// What the central server's monitoring shows of the fleet, read from the pair
// database at the time of asking: every pair with its clients, lag and last
// status change; the workflow steps recorded as progress properties; plan
// runs and status changes counted; the last events.  Only SELECTs: nothing
// here writes.
#ifndef TOOLS_ANCHOR_FLEETVIEW_H
#define TOOLS_ANCHOR_FLEETVIEW_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/base/CZuError.h"

struct FleetPair {
  int id = 0;
  std::string srcName, dstName;
  std::string headClient, tailClient;  // names; the client id when not in the directory
  int status = 0;
  int flags = 0;
  int lagSecs = 0;
  std::string statusMessage;
  int64_t statusChanged = 0;  // last status event, else 0
};

// A recorded step of a workflow on one pair, in the workflow's order.
struct FleetStep {
  std::string property;  // its progress property
  std::string label;
  std::string state;     // "done", "failed", "running" or "not run"
  int64_t at = 0;        // when it was recorded
  int64_t secs = -1;     // since the step recorded before it; -1 unknown
};

// The workflow of a pair that has recorded progress.
struct FleetRun {
  int pairId = 0;
  std::string pairName;
  std::string kind;  // "failover", "failback", "switch_roles"
  bool running = false;  // the pair is in the workflow's transitional status
  std::vector<FleetStep> steps;
};

// A queued or running run record and how far its pairs got.
struct FleetLiveRun {
  int id = 0;
  std::string kind;  // "failover", "test", ...
  std::string plan;  // empty for a run of one pair
  int pairId = 0;
  std::string state, actor, runner;
  int64_t started = 0;
  int64_t pairs = 0;  // the pairs it covers
  std::map<std::string, int64_t> outcomes;  // of the pairs it reached
};

struct FleetEvent {
  long long seq = 0;
  int64_t time = 0;
  long long pairId = 0;
  std::string text;
  std::string actor;
};

// The name programs show for a status ("running", ...), or "status N".
std::string fleetStatusName(int status);

// Pairs in id order.
CZuError fleetReadPairs(std::vector<FleetPair>* pairs);
// Every pair's (id, lag in seconds), in id order: the lag history's sample.
CZuError fleetReadLags(std::vector<std::pair<int32_t, int32_t>>* lags);
// Per pair and workflow, the steps that recorded progress.
CZuError fleetReadRuns(const std::vector<FleetPair>& pairs, std::vector<FleetRun>* runs);
// Plan runs per (workflow, outcome).
CZuError fleetCountPlanRuns(std::map<std::pair<std::string, std::string>, int64_t>* counts);
// The live runs, oldest first (at most `limit`).
CZuError fleetReadLiveRuns(int limit, std::vector<FleetLiveRun>* runs);
// Runs per state, and when the oldest running run began (0: none runs).
struct FleetRunStates {
  std::map<std::string, int64_t> count;
  int64_t oldestRunningStart = 0;
};
CZuError fleetCountRunStates(FleetRunStates* states);
// Status events per status taken.
CZuError fleetCountStatusChanges(std::map<int, int64_t>* counts);
// The newest `limit` events, newest first.
CZuError fleetReadEvents(int limit, std::vector<FleetEvent>* events);

#endif  // TOOLS_ANCHOR_FLEETVIEW_H
