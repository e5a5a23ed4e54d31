#include "runs/RunWatch.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

using Run = BlrPlanDB::Run;
using RunPair = BlrPlanDB::RunPair;
using Step = CliProgress::Step;

constexpr int kLookEveryMs = 200;
// A run still queued this long is worth a word: maybe no runner is on.
constexpr int kQueuedHintSecs = 10;

volatile sig_atomic_t gInterrupted = 0;

void onInterrupt(int) { gInterrupted = 1; }

// Ctrl-C and a lost terminal end the watching, not the run.
class InterruptGuard {
 public:
  InterruptGuard() {
    gInterrupted = 0;
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

// What the watcher has told of one pair's record.
struct Seen {
  uint64_t startTime = 0;
  bool started = false;
  bool ended = false;
  std::string stepsText;
  size_t stepsBegun = 0;
  size_t stepsEnded = 0;
  std::string news;
};

// Tells `view` what pair `p` did since `seen`.
void tellPair(const RunPair& p, RunView& view, Seen* seen) {
  const bool again = p.startTime != seen->startTime || (seen->ended && p.outcome == "running");
  if (again) {
    *seen = Seen();
    seen->startTime = p.startTime;
  }
  if (!seen->started) view.onPairStart(p);
  seen->started = true;
  if (p.steps != seen->stepsText) {
    seen->stepsText = p.steps;
    const std::vector<Step> steps = CliProgress::stepsFromJson(p.steps);
    for (size_t i = seen->stepsEnded; i < steps.size(); ++i) {
      const Step& step = steps[i];
      if (i >= seen->stepsBegun) view.onStepBegin(p, step);
      seen->stepsBegun = std::max(seen->stepsBegun, i + 1);
      if (!step.news.empty() && step.news != seen->news) view.onStepNews(p, step);
      seen->news = step.news;
      if (step.result.empty()) break;
      view.onStepEnd(p, step);
      seen->stepsEnded = i + 1;
      seen->news.clear();
    }
  }
  if (p.outcome != "running" && !seen->ended) view.onPairEnd(p);
  seen->ended = p.outcome != "running";
}

// What `before` showed: not told again.
std::map<int, Seen> seenIn(const Run& before) {
  std::map<int, Seen> seen;
  for (const RunPair& p : before.pairs) {
    Seen& s = seen[p.pairId];
    s.startTime = p.startTime;
    s.started = true;
    s.ended = p.outcome != "running";
    s.stepsText = p.steps;
    const std::vector<Step> steps = CliProgress::stepsFromJson(p.steps);
    s.stepsBegun = steps.size();
    while (s.stepsEnded < steps.size() && !steps[s.stepsEnded].result.empty()) ++s.stepsEnded;
    if (s.stepsEnded < steps.size()) s.news = steps[s.stepsEnded].news;
  }
  return seen;
}

bool sleepUnlessInterrupted(int ms) {
  for (; ms > 0 && !gInterrupted; ms -= 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 50)));
  return !gInterrupted;
}

std::string pairLine(const RunPair& p) {
  std::string line = "pair " + std::to_string(p.pairId) + ": " + p.outcome;
  if (p.endTime >= p.startTime && p.endTime != 0)
    line += " after " + std::to_string(p.endTime - p.startTime) + "s";
  if (!p.error.empty()) line += ": " + cliOneLine(p.error);
  return line;
}

// blr runs watch's view.  On a terminal: one line for the run and a bar per
// group of its plan, drawn again in place at each look.  Otherwise a line
// for the run's state as it changes and one per pair as it starts and ends.
class RunLines : public RunView {
 public:
  explicit RunLines(bool bars) : bars_(bars ? std::make_unique<GroupBars>(stdout) : nullptr) {}

  void onPairStart(const RunPair& p) override { lineOf(p); }
  void onPairEnd(const RunPair& p) override {
    lineOf(p);
    if (bars_ && p.outcome != "done") failed_.push_back(pairLine(p));
  }
  void onLook(const Run& run) override {
    if (bars_) return drawBars(run);
    if (run.state == state_) return;
    state_ = run.state;
    std::printf("run %d: %s%s\n", run.id, run.state.c_str(),
                run.runner.empty() || !run.live() ? "" : (" (" + run.runner + ")").c_str());
    std::fflush(stdout);
  }
  // The lines of the pairs that failed, which the bars hid.
  void finish() {
    for (const std::string& line : failed_) std::printf("%s\n", line.c_str());
  }

 private:
  void lineOf(const RunPair& p) {
    std::string line = pairLine(p);
    if (bars_ || shown_[p.pairId] == line) return;
    shown_[p.pairId] = line;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  void drawBars(const Run& run) {
    if (totals_.empty()) {
      BlrPlanDB::Plan plan;
      if (!RunExecutor::planOf(run, &plan).IsError())
        for (const BlrPlanDB::Group& g : plan.groups) totals_.push_back(g.members.size());
    }
    std::vector<GroupCount> groups(totals_.size());
    for (size_t g = 0; g < groups.size(); ++g) groups[g].total = totals_[g];
    for (const RunPair& p : run.pairs) {
      if (p.groupNo < 0 || static_cast<size_t>(p.groupNo) >= groups.size()) continue;
      GroupCount& c = groups[p.groupNo];
      c.done += p.outcome == "done";
      c.failed += p.outcome == "failed" || p.outcome == "interrupted";
      c.running += p.outcome == "running";
    }
    bars_->draw("run " + std::to_string(run.id) + ": " + run.state, groups);
  }

  std::unique_ptr<GroupBars> bars_;
  std::vector<size_t> totals_;
  std::string state_;
  std::vector<std::string> failed_;
  std::map<int, std::string> shown_;
};

int exitStatus(const Run& run) {
  if (run.pairId != 0 && !run.pairs.empty() && run.pairs.front().outcome != "running")
    return run.pairs.front().exitCode;
  return run.state == BlrPlanDB::kDone ? kExitOk : kExitFailure;
}

}  // namespace

double RunView::secondsOf(const RunPair& p) {
  return p.endTime >= p.startTime ? static_cast<double>(p.endTime - p.startTime) : 0;
}

bool RunView::partial(const RunPair& p) {
  if (p.outcome != "done") return false;
  for (const Step& step : CliProgress::stepsFromJson(p.steps))
    if (step.result == "failed") return true;
  return false;
}

void cliAddRunPlaceFlags(CLI::App* command, CliRunPlace* place) {
  CLI::Option* detach = command->add_flag(
      "--detach", place->detach, "Hand the run to a central server's runner and print \"run N\"");
  command
      ->add_flag("--here", place->here,
                 "Carry the run out in this process (when no central server's runner can)")
      ->excludes(detach);
}

CZuError cliHandOverRun(BlrPlanDB::Run* run) {
  if (run->id != 0) {
    const int id = run->id;
    CZuError err = BlrPlanDB().resumeRun(id, run);
    return err.IsError() ? err : BlrPlanDB().getRun(id, run);
  }
  return RunLease::submit(run, false);
}

int cliPrintSubmitted(const Cli& cli, int runId) {
  if (cli.json())
    cli.printJson(Json{{"run", runId}});
  else
    std::printf("run %d\n", runId);
  return kExitOk;
}

int cliSubmitRun(const Cli& cli, BlrPlanDB::Run run) {
  CZuError err = cliHandOverRun(&run);
  return err.IsError() ? cli.fail(err) : cliPrintSubmitted(cli, run.id);
}

int cliFollowRun(const Cli& cli, const BlrPlanDB::Run& before, RunView& view,
                 BlrPlanDB::Run* last) {
  InterruptGuard guard;
  std::map<int, Seen> seen = seenIn(before);
  const auto start = std::chrono::steady_clock::now();
  bool hinted = false;
  for (;;) {
    Run run;
    CZuError err = BlrPlanDB().getRun(before.id, &run);
    if (err.IsError()) return cli.fail(err);
    if (run.id == 0) return cli.failText("No run " + std::to_string(before.id), kExitNotFound);
    for (const RunPair& p : run.pairs) tellPair(p, view, &seen[p.pairId]);
    view.onLook(run);
    if (!run.live()) {
      *last = std::move(run);
      return kExitOk;
    }
    if (!hinted && run.state == BlrPlanDB::kQueued &&
        std::chrono::steady_clock::now() - start > std::chrono::seconds(kQueuedHintSecs)) {
      hinted = true;
      std::fprintf(stderr,
                   "blr: run %d still waits for a runner: is a central server's runner on "
                   "([Runner] bEnabled)? `blr runs stop %d` withdraws it; --here carries the "
                   "work out in blr\n",
                   run.id, run.id);
    }
    if (!sleepUnlessInterrupted(kLookEveryMs)) {
      std::fflush(stdout);
      std::fprintf(stderr, "run %d goes on; `blr runs watch %d` follows it again\n", run.id,
                   run.id);
      return kExitWatchInterrupted;
    }
  }
}

int cliWatchRun(const Cli& cli, int runId) {
  Run before, last;
  before.id = runId;
  RunLines lines(!cli.json() && isatty(STDOUT_FILENO));
  RunView quiet;
  int rc = cliFollowRun(cli, before, cli.json() ? static_cast<RunView&>(quiet) : lines, &last);
  if (rc != kExitOk) return rc;
  lines.finish();
  if (cli.json()) cli.printJson(Json{{"run", last.id}, {"state", last.state}});
  return exitStatus(last);
}
