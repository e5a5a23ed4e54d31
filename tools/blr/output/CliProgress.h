// The live display of a recovery workflow.  As the thread's workflow
// observer it shows every step as it starts and ends, and a wait as one line
// with its elapsed time and latest news.  It also stands in as the process's
// clock, so that the wait line keeps counting while the workflow sleeps.
//
// On a terminal a step's line is rewritten in place; otherwise every change
// is a line of its own, so that logs stay readable.
#ifndef TOOLS_BLR_CLIPROGRESS_H
#define TOOLS_BLR_CLIPROGRESS_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BLR/BlrWorkflowSteps.h"
#include "Cli.h"
#include "host/base/DwClock.h"

class CliProgress : public BlrWorkflowObserver, public DwClock {
 public:
  struct Step {
    std::string title;
    std::string result;  // "done", "failed", or "" while running
    double seconds = 0;
    std::string news;  // the latest line of its wait, if it waited
    double start = -1;  // from the pair's start, when the runner gave it
  };

  // The lines shown of a step: as it begins, a line of its wait, as it ends.
  static std::string beginLine(const std::string& title);
  static std::string waitLine(double seconds, const std::string& news);
  static std::string endLine(const Step& step);
  // Steps as stepsJson() or a runner wrote them; text that is not a list
  // gives none, and `readable` false.
  static std::vector<Step> stepsFromJson(const std::string& text, bool* readable = nullptr);

  // Observes the calling thread's workflows.  Shows nothing when `out` is
  // null (the JSON output), but still records.  `live` rewrites lines in
  // place.
  CliProgress(FILE* out, bool live);
  // Gives the clock back.
  ~CliProgress() override;

  // Replaces the process's clock.
  void attach();

  // Steps of blr's own, around the workflow's.
  void beginStep(const std::string& title);
  // Ends the running step, if any.
  void endStep(bool ok);
  // A word on the latest step (why the workflow goes on after it failed),
  // shown and kept with the step.
  void note(const std::string& text);

  const std::vector<Step>& steps() const { return steps_; }
  Json stepsJson() const;

  // BlrWorkflowObserver.
  void onStepBegin(int code, const std::string& title) override;
  void onStepEnd(bool ok) override { endStep(ok); }
  void onWaitTick(const std::string& news) override;
  void onFailure(const std::string& text) override;
  // DwClock.
  time_t now() override { return system_->now(); }
  void sleepMs(int ms) override;

 private:
  using Clock = std::chrono::steady_clock;

  void print(const std::string& line);
  void drawRunning();
  double since(Clock::time_point t) const;

  FILE* out_;
  bool live_;
  bool attached_ = false;
  DwClock* system_;
  std::vector<Step> steps_;
  Clock::time_point stepStart_;
  Clock::time_point waitStart_;
  bool waiting_ = false;
  bool stepFailed_ = false;  // an error was logged while the step ran
  std::string news_;  // the latest wait line
  bool lineOpen_ = false;  // the running step's line is on screen, unfinished
};

#endif  // TOOLS_BLR_CLIPROGRESS_H
