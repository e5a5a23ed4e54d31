// What a run of a plan achieved, computed once from its records: the one
// model behind the run's JSON, HTML and text forms, and behind a plan's
// history of runs.  Building it needs no server.
#ifndef TOOLS_BLR_RUNREPORT_H
#define TOOLS_BLR_RUNREPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"

struct RunReport {
  // One step of a pair as its runner recorded it; times in seconds.
  struct Step {
    std::string title;
    std::string outcome;  // "done", "failed", "running", or "unfinished"
    double start = 0;     // from the pair's start
    double seconds = 0;
  };

  struct Pair {
    int pairId = 0;
    int groupNo = 0;
    std::string outcome;  // as recorded; "not started" for a plan's pair without a record
    uint64_t startTime = 0;
    uint64_t endTime = 0;
    uint64_t seqNum = 0;
    int lagAtStart = 0;
    int exitCode = 0;
    std::string error;
    std::vector<Step> steps;
    int64_t recoverySecs = -1;       // run start to the pair done; -1 unless done
    int64_t recoveryPointSecs = -1;  // its lag at start; -1 unless done
  };

  struct Group {
    int groupNo = 0;          // 0, 1, ... as in the plan
    int parallelism = 0;      // 0 when the plan is not known
    std::vector<Pair> pairs;  // in the plan's order
  };

  // A figure over the pairs that are done, against the plan's target.
  struct Figure {
    int count = 0;  // pairs with a value
    int64_t max = -1;
    double median = -1;
    int target = 0;  // seconds, 0 for none
    int missed = 0;  // pairs over the target
    bool hasTarget() const { return target > 0; }
    bool met() const { return target > 0 && count > 0 && missed == 0; }
  };

  int runId = 0;
  std::string plan;  // empty for a run of one pair
  int pairId = 0;    // the pair of a run of one pair
  std::string workflow;
  std::string actor;
  std::string state;
  uint64_t startTime = 0;
  uint64_t endTime = 0;    // 0 while the run goes on
  bool planKnown = false;  // the plan the run ran still exists

  // "plan NAME" or "pair N".
  std::string target() const { return plan.empty() ? "pair " + std::to_string(pairId) : "plan " + plan; }
  std::map<std::string, int> outcomes;
  Figure recovery;
  Figure recoveryPoint;
  std::vector<Group> groups;

  // -1 while the run goes on.
  int64_t durationSecs() const;
  // The last moment the records tell of, in seconds from the run's start.
  double spanSecs() const;
  // Seconds from the run's start to `time` (0 for earlier times).
  double offset(uint64_t time) const;
};

// Who ran `run`, as reports name them.
std::string runActor(const BlrPlanDB::Run& run);

// The report of `run`.  `plan` is the plan of the run's name as it is now,
// or null; its groups and targets count only when it is the plan that ran.
RunReport buildRunReport(const BlrPlanDB::Run& run, const BlrPlanDB::Plan* plan);

// "failover", "test (drill)", ...
std::string runKindText(const std::string& workflow);
// "42 s", "3 min 05 s", "2 h 07 min"; "-" for a negative value.
std::string durationText(int64_t secs);
// "12", "12.5": one decimal, none when it is 0.
std::string decimalText(double value);
// "5 done, 1 failed"; "none" without pairs.
std::string outcomesText(const std::map<std::string, int>& outcomes);

Json runReportJson(const RunReport& report);
// A plan's runs, newest first, without their pairs and steps.
Json runHistoryJson(const RunReport& run);

// Self-contained pages: no script, nothing loaded from elsewhere.
std::string runReportHtml(const RunReport& report);
std::string runHistoryHtml(const std::string& plan, const std::vector<RunReport>& runs);

#endif  // TOOLS_BLR_RUNREPORT_H
