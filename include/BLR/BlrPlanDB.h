// Recovery plans in the pair database: named, ordered groups of pairs that
// are recovered together, with a parallelism limit per group and options per
// pair.  BlrPlanDB is the client; its requests go on the link "BLR" like
// those of BlrDB.
#ifndef BLR_BLRPLANDB_H
#define BLR_BLRPLANDB_H

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "BLR/BlrExport.h"
#include "BLR/BlrRecord.h"
#include "DwLink/DwEbml.h"
#include "host/base/CZuError.h"

class BLR_API BlrPlanDB {
 public:
  // Option bits of a pair in a plan.
  enum MemberOption : int32_t {
    PLAN_TO_LATEST = 1,         // recover to the latest state, not the last snapshot
    PLAN_KEEP_PROD_OFF = 2,     // leave the production VM powered off
    PLAN_CONTINUE_ON_ERROR = 4  // a failure of this pair does not stop the plan
  };

  struct BLR_API Member {
    BLR_RECORD_MEMBERS(Member)
    bool has(MemberOption option) const { return (options & option) != 0; }

    int32_t pairId;
    int32_t options;  // MemberOption bits
  };

  struct BLR_API Group {
    BLR_RECORD_MEMBERS(Group)

    int32_t parallelism;  // pairs of the group run at most this many at once
    std::list<Member> members;
  };

  struct BLR_API Plan {
    BLR_RECORD_MEMBERS(Plan)

    int32_t id;
    std::string name;
    int32_t healthTimeoutSecs;  // how long a drill waits for a test VM to report on
    int32_t rtoSeconds;         // recovery time target of a run, 0 for none
    int32_t rpoSeconds;         // recovery point target (a pair's lag), 0 for none
    uint64_t created;           // set by the service
    uint64_t modified;
    std::list<Group> groups;  // recovered one after the other, in order
  };

  // One pair's part in a run of a plan.
  struct BLR_API RunPair {
    BLR_RECORD_MEMBERS(RunPair)

    int32_t pairId;
    int32_t groupNo;      // 0, 1, ... as in the plan
    std::string outcome;  // "running", "done", "failed", "skipped", "not started"
    uint64_t startTime;
    uint64_t endTime;
    uint64_t seqNum;     // the recovery point reached
    int32_t lagAtStart;  // the pair's lag when it started, in seconds
    int32_t exitCode;    // the workflow's step code, 0 on success
    std::string error;   // at most kMaxErrorBytes
    std::string steps;   // the steps and their timings as the runner writes them
  };

  // A run of a plan's workflow (failover, failback, test, ...), kept for the report.
  struct BLR_API Run {
    BLR_RECORD_MEMBERS(Run)

    int32_t id;
    int32_t planId;  // set by the service from planName
    std::string planName;
    std::string workflow;      // "failover", "test", ...
    std::string user;          // who ran it
    uint64_t startTime;        // set by the service
    uint64_t endTime;          // 0 while it runs
    std::string state;         // "running", then what finishRun gave
    std::list<RunPair> pairs;  // only in getRun's answer
  };

  static constexpr size_t kMaxErrorBytes = 1023;
  static constexpr size_t kMaxStepsBytes = 16383;
  static constexpr size_t kMaxWordBytes = 63;  // workflow, user, outcome, state

  // Starts a run record of plan `run.planName` (which must exist); `run`
  // receives its id, plan id, start time and state "running".
  CZuError createRun(Run* run);
  // Stores (or replaces) pair `pair.pairId`'s part in run `runId`.
  CZuError setRunPair(int runId, const RunPair& pair);
  // Ends run `runId` with `state`, at the service's time.
  CZuError finishRun(int runId, const std::string& state);
  // The runs of plan `planName`, newest first, without their pairs.
  CZuError getRuns(const std::string& planName, std::list<Run>* runs);
  // Run `runId` with its pairs; `run->id` is 0 when there is no such run.
  CZuError getRun(int runId, Run* run);

  // A plan list's bytes as answers carry them (one container per plan).
  static std::vector<char> encodePlans(const std::list<Plan>& plans);
  static CZuError decodePlans(const std::vector<char>& bytes, std::list<Plan>* plans);
  static std::vector<char> encodeRuns(const std::list<Run>& runs);
  static CZuError decodeRuns(const std::vector<char>& bytes, std::list<Run>* runs);

  // The longest plan name, in bytes.
  static constexpr size_t kMaxNameBytes = 127;

  // The text checks the service makes before it stores a record, which the
  // client repeats before sending: the first text that is too long (or holds
  // a NUL byte), or a required one that is empty, fails with code 1 naming
  // its field.  A plan's name may be empty here: the service refuses that
  // with its other checks of a plan.
  static CZuError checkTexts(const Plan& plan);
  static CZuError checkTexts(const Run& run);
  static CZuError checkTexts(const RunPair& pair);
  static CZuError checkState(const std::string& state);

  // Stores a new plan after checking it whole; a plan that fails a check is
  // refused with a message naming the field, and nothing is stored.
  // `planId` (may be null) receives the new plan's id.
  CZuError createPlan(const Plan& plan, int* planId);
  // Reads plan `name`; `plan->id` is 0 when there is no such plan.
  CZuError getPlan(const std::string& name, Plan* plan);
  // Every plan, by name, with its groups.
  CZuError listPlans(std::list<Plan>* plans);
  // Deletes plan `name`; `found` (may be null) tells whether it existed.
  CZuError delPlan(const std::string& name, bool* found);
};

#endif  // BLR_BLRPLANDB_H
