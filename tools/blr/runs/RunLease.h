// A run held by this blr process: recorded in the pair database, its pairs
// held against every other run, and its lease renewed on a thread of its own
// until the run ends here.  Should this process die, the lease runs out and
// the run can be taken over.
#ifndef TOOLS_BLR_RUNLEASE_H
#define TOOLS_BLR_RUNLEASE_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BLR/BlrPlanDB.h"
#include "host/base/CZuError.h"

class RunLease {
 public:
  // How long blr's lease lasts; a lease is renewed every third of its time.
  static constexpr int kLeaseSecs = 30;
  // How the names of the central servers' runners begin.
  static constexpr char kServerRunnerPrefix[] = "runner@";

  // This process as a runner: "blr@HOST:PID", or as a central server's
  // runner: "runner@HOST:PID".
  static std::string runnerName();
  static std::string serverRunnerName();

  // Records new run `run`: held by this process when `here`, otherwise
  // queued for a central server's runner.  `run` receives the record.
  // Fails, naming the holder, when another live run holds one of its pairs;
  // runs whose runner is gone are ended "interrupted" first.
  static CZuError submit(BlrPlanDB::Run* run, bool here);
  // Records new run `run` held by this process; `run` receives the record.
  // Fails, naming the holder, when another live run holds one of its pairs;
  // runs whose runner is gone are ended "interrupted" first.
  static CZuError start(BlrPlanDB::Run* run, std::unique_ptr<RunLease>* lease);
  // Takes run `run->id` over: an ended one is resumed, a live one claimed
  // once its runner is gone.  `run` receives the record.
  static CZuError takeOver(BlrPlanDB::Run* run, std::unique_ptr<RunLease>* lease);
  // The lease on run `runId` that `runner` has just claimed for
  // `leaseSecs`, renewed from now on.
  static std::unique_ptr<RunLease> adopt(int runId, const std::string& runner, int leaseSecs);
  // Ends the running runs of blr processes that are gone (or whose leases
  // ran out) as "interrupted", with the pairs they left running: their
  // pairs are free again.
  static CZuError endAbandonedRuns();

  ~RunLease();
  RunLease(const RunLease&) = delete;
  RunLease& operator=(const RunLease&) = delete;

  int runId() const { return runId_; }
  const std::string& runner() const { return runner_; }
  // No new pair should start: a stop was asked for, or the run was lost or
  // abandoned.
  bool stopping() const { return stopRequested_ || lost_ || abandoned_; }
  // Stops renewing and leaves the run running, for the next runner to take
  // over once the lease runs out; finish() then records nothing.
  void abandon() {
    abandoned_ = true;
    wake_.notify_all();
  }

  // Ends the run with `state`; a run asked to stop that left pairs
  // unstarted ends "stopped" instead of `state`.  Renewal stops first.
  CZuError finish(const std::string& state, bool pairsLeft = false);

 private:
  RunLease(int runId, std::string runner, int leaseSecs);
  void renewLoop();
  void endRenewal();

  const int runId_;
  const std::string runner_;
  const int leaseSecs_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> abandoned_{false};
  std::mutex mu_;
  std::condition_variable wake_;
  bool ending_ = false;
  std::thread renewer_;
};

#endif  // TOOLS_BLR_RUNLEASE_H
