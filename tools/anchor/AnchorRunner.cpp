#include "AnchorRunner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <list>

#include "BLR/BlrDebug.h"
#include "BLR/BlrPlanDB.h"
#include "host/config/DWPlatformInfo.h"
#include "runs/RunExecutor.h"
#include "runs/RunLease.h"

namespace {

constexpr char kLogContext[] = "AnchorRunner";

// Logs how the pairs of a run go.
class RunLog : public RunExecutor::Listener {
 public:
  explicit RunLog(int runId) : runId_(runId) {}
  void onPairEnd(const PlanRunner::Result& r, double seconds, const PairWorkflowResult&) override {
    if (r.outcome == PlanRunner::Outcome::kDone)
      blrDebug(kLogContext, 1, "Run %d: pair %d done in %.1f s", runId_, r.pairId, seconds);
    else
      blrError(kLogContext, "Run %d: pair %d failed after %.1f s (exit status %d): %s", runId_,
               r.pairId, seconds, r.exitCode, r.error.c_str());
  }

 private:
  int runId_;
};

long long number(const char* key, long long fallback, long long low, long long high) {
  long long value = fallback;
  DWPlatformInfo().getNumber("Runner", key, &value);
  return std::min(high, std::max(low, value));
}

}  // namespace

CZuError AnchorRunnerConfig::fromRegistry(AnchorRunnerConfig* config) {
  *config = AnchorRunnerConfig();
  config->enabled = number("bEnabled", 1, 0, 1) != 0;
  config->maxRuns = static_cast<int>(number("nMaxRuns", config->maxRuns, 1, 64));
  config->leaseSecs = static_cast<int>(number("nLeaseSecs", config->leaseSecs, 3, BlrPlanDB::kMaxLeaseSecs));
  config->pollMs = static_cast<int>(number("nPollMs", config->pollMs, 50, 60000));
  return CZuError();
}

void AnchorRunner::start(const AnchorRunnerConfig& config) {
  config_ = config;
  if (!config_.enabled) return;
  name_ = RunLease::serverRunnerName();
  loop_ = std::thread(&AnchorRunner::loop, this);
}

void AnchorRunner::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && !loop_.joinable()) return;
    stopping_ = true;
    for (Job& job : jobs_) job.lease->abandon();
  }
  wake_.notify_all();
  if (loop_.joinable()) loop_.join();
  for (Job& job : jobs_)
    if (job.thread.joinable()) job.thread.join();
  jobs_.clear();
}

void AnchorRunner::loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    reapFinished();
    bool claimed = false;
    if (static_cast<int>(jobs_.size()) < config_.maxRuns) {
      lock.unlock();
      claimed = claimOne();
      lock.lock();
    }
    // Another run may wait right behind the one just claimed.
    if (!claimed) wake_.wait_for(lock, std::chrono::milliseconds(config_.pollMs), [this] { return stopping_; });
  }
}

// Whether a run waits for a runner.  A claim is a write transaction; this
// is two reads, so an idle server writes nothing while it polls.
bool AnchorRunner::anyClaimable() const {
  std::list<BlrPlanDB::Run> runs;
  BlrPlanDB db;
  if (db.listRuns(BlrPlanDB::kQueued, "", 1, &runs).IsError() || !runs.empty()) return true;
  if (db.listRuns(BlrPlanDB::kRunning, "", 10000, &runs).IsError()) return true;
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  for (const BlrPlanDB::Run& r : runs)
    if (r.runner.rfind(RunLease::kServerRunnerPrefix, 0) == 0 &&
        (r.leaseUntil < now || r.leaseUntil > now + BlrPlanDB::kMaxLeaseSecs))
      return true;
  return false;
}

bool AnchorRunner::claimOne() {
  if (!anyClaimable()) return false;
  BlrPlanDB::Run run;
  CZuError err = BlrPlanDB().claimRun(name_, config_.leaseSecs, &run, 0, RunLease::kServerRunnerPrefix);
  if (err.IsError()) {
    blrError(kLogContext, "Couldn't look for runs: %s", err.Summary().c_str());
    return false;
  }
  if (run.id == 0) return false;
  blrDebug(kLogContext, 1, "Carrying out run %d: %s of %s, submitted by %s", run.id,
           run.workflow.c_str(),
           run.planName.empty() ? ("pair " + std::to_string(run.pairId)).c_str() : run.planName.c_str(),
           run.actor.c_str());
  std::lock_guard<std::mutex> lock(mu_);
  jobs_.emplace_back();
  Job& job = jobs_.back();
  job.lease = RunLease::adopt(run.id, name_, config_.leaseSecs);
  if (stopping_) job.lease->abandon();
  job.thread = std::thread([this, &job, run] {
    RunLog log(run.id);
    CZuError e = RunExecutor::execute(run, *job.lease, log, nullptr);
    if (e.IsError()) blrError(kLogContext, "Run %d: %s", run.id, e.Summary().c_str());
    std::lock_guard<std::mutex> l(mu_);
    job.finished = true;
    wake_.notify_all();
  });
  return true;
}

void AnchorRunner::reapFinished() {
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (!it->finished) {
      ++it;
      continue;
    }
    if (it->thread.joinable()) it->thread.join();
    it = jobs_.erase(it);
  }
}
