#include "runs/RunLease.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <list>

namespace {

std::string hostName() {
  char host[256] = {};
  return gethostname(host, sizeof host - 1) == 0 ? std::string(host) : std::string();
}

// Whether `name` is "blr@HOST:PID" of this host, and that process is gone.
bool localProcessGone(const std::string& name) {
  const std::string prefix = "blr@" + hostName().substr(0, 40) + ":";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string digits = name.substr(prefix.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const long pid = std::strtol(digits.c_str(), nullptr, 10);
  return pid > 0 && pid != getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Whether the runner of running run `run` is gone: a blr process of this
// host that no longer exists.  (A runner elsewhere is gone once its lease
// runs out, which the pair database decides.)
bool runnerGone(const BlrPlanDB::Run& run) {
  return run.state == BlrPlanDB::kRunning && localProcessGone(run.runner);
}

}  // namespace

std::string RunLease::runnerName() {
  return "blr@" + hostName().substr(0, 40) + ":" + std::to_string(getpid());
}

std::string RunLease::serverRunnerName() {
  return kServerRunnerPrefix + hostName().substr(0, 40) + ":" + std::to_string(getpid());
}

RunLease::RunLease(int runId, std::string runner, int leaseSecs)
    : runId_(runId), runner_(std::move(runner)), leaseSecs_(leaseSecs) {
  renewer_ = std::thread(&RunLease::renewLoop, this);
}

RunLease::~RunLease() { endRenewal(); }

std::unique_ptr<RunLease> RunLease::adopt(int runId, const std::string& runner, int leaseSecs) {
  return std::unique_ptr<RunLease>(new RunLease(runId, runner, leaseSecs));
}

void RunLease::endRenewal() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ending_ = true;
  }
  wake_.notify_all();
  if (renewer_.joinable()) renewer_.join();
}

CZuError RunLease::endAbandonedRuns() {
  std::list<BlrPlanDB::Run> running;
  BlrPlanDB db;
  CZuError err = db.listRuns(BlrPlanDB::kRunning, "", 10000, &running);
  for (auto r = running.begin(); !err.IsError() && r != running.end(); ++r) {
    // A central server's runs go to the next central server's runner.
    if (r->runner.compare(0, sizeof kServerRunnerPrefix - 1, kServerRunnerPrefix) == 0) continue;
    BlrPlanDB::Run run = *r;
    std::unique_ptr<RunLease> lease;
    // A run whose runner still holds it is refused here, and left alone.
    if (takeOver(&run, &lease).IsError()) continue;
    for (auto p = run.pairs.begin(); !err.IsError() && p != run.pairs.end(); ++p) {
      if (p->outcome != "running") continue;
      p->outcome = BlrPlanDB::kInterrupted;
      p->exitCode = 1;
      p->error = "Its runner " + r->runner + " went away";
      err = db.setRunPair(run.id, *p, lease->runner());
    }
    if (!err.IsError()) err = lease->finish(BlrPlanDB::kInterrupted);
  }
  return err;
}

namespace {

// The submitter's facts of `run`: the operating-system user, the host and
// this runner.
void describeSubmitter(BlrPlanDB::Run* run) {
  const struct passwd* pw = getpwuid(geteuid());
  run->user = pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : std::to_string(geteuid());
  run->user = run->user.substr(0, BlrPlanDB::kMaxWordBytes);
  run->host = hostName().substr(0, BlrPlanDB::kMaxWordBytes);
  run->runner = RunLease::runnerName();
}

}  // namespace

CZuError RunLease::submit(BlrPlanDB::Run* run, bool here) {
  describeSubmitter(run);
  if (!here) run->runner.clear();  // a runner claims it
  const BlrPlanDB::Run wanted = *run;
  const int leaseSecs = here ? kLeaseSecs : 0;
  CZuError err = BlrPlanDB().createRun(run, leaseSecs);
  if (err.IsError()) {
    // Held, perhaps by a run nobody runs any more: end those and try again.
    if (endAbandonedRuns().IsError()) return err;
    *run = wanted;
    err = BlrPlanDB().createRun(run, leaseSecs);
  }
  return err;
}

CZuError RunLease::start(BlrPlanDB::Run* run, std::unique_ptr<RunLease>* lease) {
  CZuError err = submit(run, true);
  if (!err.IsError()) *lease = adopt(run->id, runnerName(), kLeaseSecs);
  return err;
}

CZuError RunLease::takeOver(BlrPlanDB::Run* run, std::unique_ptr<RunLease>* lease) {
  const int runId = run->id;
  CZuError err =
      run->live() ? BlrPlanDB().claimRun(runnerName(), kLeaseSecs, run, runId,
                                         runnerGone(*run) ? run->runner : std::string())
                  : BlrPlanDB().resumeRun(runId, run, runnerName(), kLeaseSecs);
  if (!err.IsError()) *lease = adopt(run->id, runnerName(), kLeaseSecs);
  return err;
}

void RunLease::renewLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  const auto every = std::chrono::milliseconds(leaseSecs_ * 1000 / 3);
  while (!ending_ && !lost_) {
    wake_.wait_for(lock, every, [this] { return ending_ || abandoned_; });
    if (ending_ || abandoned_) break;
    lock.unlock();
    BlrPlanDB::Run run;
    CZuError err = BlrPlanDB().renewLease(runId_, runner_, leaseSecs_, &run);
    // A failed exchange is tried again at the next turn.
    if (!err.IsError()) {
      if (run.state != BlrPlanDB::kRunning || run.runner != runner_) lost_ = true;
      if (run.stopRequested) stopRequested_ = true;
    }
    lock.lock();
  }
}

CZuError RunLease::finish(const std::string& state, bool pairsLeft) {
  endRenewal();
  if (abandoned_) return CZuError();
  if (lost_)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Run %d was taken over by another runner", runId_);
  BlrPlanDB::Run run;
  // The stop may have been asked for since the last renewal.
  if (pairsLeft && !stopRequested_ && !BlrPlanDB().getRun(runId_, &run).IsError())
    stopRequested_ = run.stopRequested != 0;
  const std::string ended = pairsLeft && stopRequested_ ? BlrPlanDB::kStopped : state;
  return BlrPlanDB().finishRun(runId_, ended, runner_);
}
