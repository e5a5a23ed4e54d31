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

  // A run of a workflow (failover, failback, test, ...) on the pairs of a
  // plan or on one pair: submitted, claimed by a runner under a lease,
  // carried out, and kept for the report.
  struct BLR_API Run {
    BLR_RECORD_MEMBERS(Run)

    int32_t id;
    int32_t planId;  // set by the service from planName
    std::string planName;  // empty for a run of one pair
    std::string workflow;  // "failover", "test", ...
    std::string user;      // the operating-system user who submitted it
    uint64_t startTime;    // set by the service at submission
    uint64_t endTime;      // 0 until it ends
    std::string state;     // kQueued, kRunning, then how it ended
    std::list<RunPair> pairs;  // only in getRun's answer
    int32_t pairId;        // the pair of a run of one pair, else 0
    std::string options;   // the workflow's options, a JSON object
    std::string actor;     // the certificate name that submitted it; set by the service
    std::string host;      // the machine it was submitted from
    std::string runner;    // who holds it while it runs
    uint64_t leaseUntil;   // the runner's lease, in the service's seconds
    int32_t stopRequested;  // 1 once a stop was asked for

    bool live() const { return state == kQueued || state == kRunning; }
  };

  static constexpr size_t kMaxErrorBytes = 1023;
  static constexpr size_t kMaxStepsBytes = 16383;
  static constexpr size_t kMaxWordBytes = 63;  // workflow, user, outcome, state, actor, runner
  static constexpr size_t kMaxOptionsBytes = 1023;

  // A run's states.  Queued and running runs are live: each holds its pairs,
  // and no other run may touch them.  The others have ended.
  static constexpr char kQueued[] = "queued";
  static constexpr char kRunning[] = "running";
  static constexpr char kDone[] = "done";
  static constexpr char kFailed[] = "failed";
  static constexpr char kStopped[] = "stopped";
  static constexpr char kInterrupted[] = "interrupted";

  // A lease lasts this long at most; a longer one, or one that ends further
  // ahead than this (a clock that jumped), is not honoured.
  static constexpr int kMaxLeaseSecs = 600;

  // Submits run `run` of plan `run.planName` (which must exist) or of pair
  // `run.pairId`, holding each of its pairs; a pair that another live run
  // holds refuses it, naming that run.  With `run.runner` set, that runner
  // holds it at once under a lease of `leaseSecs` ("running"); otherwise it
  // waits for one ("queued").  `run` receives the stored record.
  CZuError createRun(Run* run, int leaseSecs = 0);
  // Stores (or replaces) pair `pair.pairId`'s part in run `runId`; with
  // `runner`, only while that runner holds the run.
  CZuError setRunPair(int runId, const RunPair& pair, const std::string& runner = "");
  // Ends run `runId` with `state` at the service's time and lets its pairs
  // go; with `runner`, only while that runner holds the run.
  CZuError finishRun(int runId, const std::string& state, const std::string& runner = "");
  // The runs of plan `planName`, newest first, without their pairs.
  CZuError getRuns(const std::string& planName, std::list<Run>* runs);
  // Runs in state `state` (every state when empty) of plan `planName`
  // (every plan and pair when empty), newest first, at most `limit`.
  CZuError listRuns(const std::string& state, const std::string& planName, int limit,
                    std::list<Run>* runs);
  // Run `runId` with its pairs; `run->id` is 0 when there is no such run.
  CZuError getRun(int runId, Run* run);

  // For runners: takes the oldest queued run, or a running one whose lease
  // ran out, under a lease of `leaseSecs` for `runner`.  `run` receives it
  // with its pairs so far; `run->id` is 0 when none is waiting.  With
  // `runId`, takes that run or fails saying why it can't; `goneRunner`
  // names its runner when the caller knows that runner is gone (a process
  // of its host that no longer exists), whatever its lease.  Without
  // `runId`, `runnerClass` limits the running runs taken over to those of
  // runners whose names begin with it.
  CZuError claimRun(const std::string& runner, int leaseSecs, Run* run, int runId = 0,
                    const std::string& goneRunner = "", const std::string& runnerClass = "");
  // Extends `runner`'s lease on run `runId` to `leaseSecs` from now, while
  // it holds the run.  `run` receives the record: the runner holds the run
  // while it is running with `runner` as its runner, and its stopRequested
  // tells the runner to start no new pair.
  CZuError renewLease(int runId, const std::string& runner, int leaseSecs, Run* run);
  // Asks run `runId` to stop: a queued run ends "stopped" at once; a
  // running one starts no new pair, and its runner ends it "stopped".
  CZuError stopRun(int runId, Run* run);
  // Queues run `runId` again, which must have ended other than "done", and
  // holds its pairs again.  Pairs done before are skipped.  With `runner`,
  // that runner holds it at once under a lease of `leaseSecs`.
  CZuError resumeRun(int runId, Run* run, const std::string& runner = "", int leaseSecs = 0);

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
