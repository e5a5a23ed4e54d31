#include "runs/RunWatch.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runs/GroupBars.h"
#include "runs/RunExecutor.h"
#include "runs/RunLease.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;

void onInterrupt(int) { gInterrupted = 1; }

// Ctrl-C and a lost terminal end the watching, not the run.
class InterruptGuard {
 public:
  InterruptGuard() {
    struct sigaction sa = {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGHUP, SIGTERM}) sigaction(s, &sa, &saved_[s]);
  }
  ~InterruptGuard() {
    for (int s : {SIGINT, SIGHUP, SIGTERM}) sigaction(s, &saved_[s], nullptr);
  }

 private:
  std::map<int, struct sigaction> saved_;
};

std::string pairLine(const BlrPlanDB::RunPair& p) {
  std::string line = "pair " + std::to_string(p.pairId) + ": " + p.outcome;
  if (p.endTime >= p.startTime && p.endTime != 0)
    line += " after " + std::to_string(p.endTime - p.startTime) + "s";
  if (!p.error.empty()) line += ": " + cliOneLine(p.error);
  return line;
}

// On a terminal: one line for the run and a bar per group of its plan,
// drawn again in place at each look.
class RunBars {
 public:
  explicit RunBars(const BlrPlanDB::Run& run) : bars_(stdout) {
    BlrPlanDB::Plan plan;
    if (RunExecutor::planOf(run, &plan).IsError()) return;
    for (const BlrPlanDB::Group& g : plan.groups) totals_.push_back(g.members.size());
  }

  void draw(const BlrPlanDB::Run& run) {
    std::vector<GroupCount> groups(totals_.size());
    for (size_t g = 0; g < groups.size(); ++g) groups[g].total = totals_[g];
    for (const BlrPlanDB::RunPair& p : run.pairs) {
      if (p.groupNo < 0 || static_cast<size_t>(p.groupNo) >= groups.size()) continue;
      GroupCount& c = groups[p.groupNo];
      c.done += p.outcome == "done";
      c.failed += p.outcome == "failed" || p.outcome == "interrupted";
      c.running += p.outcome == "running";
    }
    bars_.draw("run " + std::to_string(run.id) + ": " + run.state, groups);
  }

 private:
  GroupBars bars_;
  std::vector<size_t> totals_;
};

int exitStatus(const BlrPlanDB::Run& run) {
  if (run.pairId != 0 && !run.pairs.empty() && run.pairs.front().outcome != "running")
    return run.pairs.front().exitCode;
  return run.state == BlrPlanDB::kDone ? kExitOk : kExitFailure;
}

}  // namespace

int cliSubmitRun(const Cli& cli, BlrPlanDB::Run run) {
  CZuError err;
  if (run.id != 0) {
    err = BlrPlanDB().resumeRun(run.id, &run);
  } else {
    RunLease::describeSubmitter(&run);
    run.runner.clear();  // a runner claims it
    err = BlrPlanDB().createRun(&run);
  }
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"run", run.id}});
  else
    std::printf("run %d\n", run.id);
  return kExitOk;
}

int cliWatchRun(const Cli& cli, int runId) {
  InterruptGuard guard;
  gInterrupted = 0;
  std::map<int, std::string> shown;
  std::string state;
  std::unique_ptr<RunBars> bars;
  for (;;) {
    BlrPlanDB::Run run;
    CZuError err = BlrPlanDB().getRun(runId, &run);
    if (err.IsError()) return cli.fail(err);
    if (run.id == 0) return cli.failText("No run " + std::to_string(runId), kExitNotFound);
    if (!cli.json() && isatty(STDOUT_FILENO)) {
      if (!bars) bars.reset(new RunBars(run));
      bars->draw(run);
    } else if (!cli.json()) {
      if (run.state != state)
        std::printf("run %d: %s%s\n", run.id, run.state.c_str(),
                    run.runner.empty() || !run.live() ? "" : (" (" + run.runner + ")").c_str());
      for (const BlrPlanDB::RunPair& p : run.pairs) {
        std::string line = pairLine(p);
        if (shown[p.pairId] != line) std::printf("%s\n", line.c_str());
        shown[p.pairId] = line;
      }
      std::fflush(stdout);
    }
    state = run.state;
    if (!run.live()) {
      if (bars)
        for (const BlrPlanDB::RunPair& p : run.pairs)
          if (p.outcome != "done") std::printf("%s\n", pairLine(p).c_str());
      if (cli.json()) cli.printJson(Json{{"run", run.id}, {"state", run.state}});
      return exitStatus(run);
    }
    for (int i = 0; i < 10 && !gInterrupted; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (gInterrupted) {
      std::fprintf(stderr, "run %d goes on; `blr runs watch %d` follows it again\n", runId, runId);
      return 130;
    }
  }
}
