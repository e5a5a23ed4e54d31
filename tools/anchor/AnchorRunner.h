// blr-anchor's runner: claims the runs that wait for a runner, and the runs
// of runners that went away, and carries each out on a thread of its own
// under a lease it renews.  Several central servers on one database share
// the runs: each run goes to one runner at a time.
//
// Registry, section "Runner":
//   bEnabled    number  1   0: this server claims no runs
//   nMaxRuns    number  4   runs carried out at once
//   nLeaseSecs  number  30  a claimed run's lease; a runner that dies loses
//                           the run this long after its last renewal
//   nPollMs     number  250   how often waiting runs are looked for
#ifndef TOOLS_ANCHOR_ANCHORRUNNER_H
#define TOOLS_ANCHOR_ANCHORRUNNER_H

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/base/CZuError.h"
#include "runs/RunLease.h"

struct AnchorRunnerConfig {
  bool enabled = true;
  int maxRuns = 4;
  int leaseSecs = 30;
  int pollMs = 250;

  static CZuError fromRegistry(AnchorRunnerConfig* config);
};

class AnchorRunner {
 public:
  AnchorRunner() = default;
  ~AnchorRunner() { stop(); }
  AnchorRunner(const AnchorRunner&) = delete;
  AnchorRunner& operator=(const AnchorRunner&) = delete;

  void start(const AnchorRunnerConfig& config);
  // Claims no more runs; the runs under way start no new pair, their pairs
  // under way finish, and the runs are left to the next runner, which takes
  // them over once their leases run out.
  void stop();

  // This server as a runner: "runner@HOST:PID".
  const std::string& name() const { return name_; }

 private:
  struct Job {
    std::unique_ptr<RunLease> lease;
    std::thread thread;
    bool finished = false;
  };

  void loop();
  bool anyClaimable() const;
  // Claims one run and starts it; false when none waits.
  bool claimOne();
  void reapFinished();

  AnchorRunnerConfig config_;
  std::string name_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::list<Job> jobs_;
  std::thread loop_;
};

#endif  // TOOLS_ANCHOR_ANCHORRUNNER_H
