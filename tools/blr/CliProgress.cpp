#include "CliProgress.h"

#include <regex>

namespace {

const char kWorkflowPrefix[] = "BlrSvcWorkflow::";

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, s < 10 ? "%.1fs" : "%.0fs", s);
  return text;
}

}  // namespace

CliProgress::CliProgress(FILE* out, bool live)
    : out_(out), live_(live && out != nullptr), system_(DwClock::current()) {}

CliProgress::~CliProgress() {
  if (!attached_) return;
  EvDebug::installObserver(nullptr);
  DwClock::install(system_);
}

void CliProgress::attach() {
  EvDebug::installObserver(this);
  system_ = DwClock::install(this);
  attached_ = true;
}

CliProgress::Kind CliProgress::classify(const std::string& message) {
  static const std::regex header(
      "^(Starting (failover|failback|switching roles) for pair|Resuming |Cleaning up failover for "
      "pair|Nothing to cleanup|Resetting pair|Previous progress:|Pair [0-9]+ is not in)");
  static const std::string done = "successful:";  // "Failover successful:" before its progress
  bool endsDone = message.size() >= done.size() &&
                  message.compare(message.size() - done.size(), done.size(), done) == 0;
  if (message.rfind("   ", 0) == 0 || endsDone) return Kind::kProgress;  // blr prints its own table
  if (message.rfind("Last seqnum on ", 0) == 0 || message.rfind("Waiting for pair ", 0) == 0)
    return Kind::kWait;
  return std::regex_search(message, header) ? Kind::kHeader : Kind::kStep;
}

void CliProgress::onRecord(const EvDebugRecord& record) {
  // Inside the pair's debug context the function is part of the prefix.
  std::string where = std::string(record.function ? record.function : "") +
                      (record.prefix ? record.prefix : "");
  if (where.find(kWorkflowPrefix) == std::string::npos) return;
  std::string message = record.message.substr(0, record.message.find('\n'));
  if (record.severity < 0) {  // a step that failed and was passed over
    if (!steps_.empty() && steps_.back().result.empty()) stepFailed_ = true;
    print("      ! " + cliOneLine(message));
    return;
  }
  switch (classify(message)) {
    case Kind::kProgress:
      return;
    case Kind::kHeader: {
      endStep(true);
      size_t cut = message.find(" Previous progress:");
      if (cut != 0) print("  " + message.substr(0, cut));
      return;
    }
    case Kind::kStep:
      beginStep(message);
      return;
    case Kind::kWait:
      // Failback's synchronisation wait has no title of its own.
      if (message.rfind("Waiting for pair ", 0) == 0) {
        std::string title = message.substr(0, message.find("..."));
        if (steps_.empty() || steps_.back().title != title) beginStep(title);
      }
      if (!waiting_) waitStart_ = Clock::now();
      waiting_ = true;
      news_ = message;
      if (live_)
        drawRunning();
      else
        print("        " + seconds(since(waitStart_)) + "  " + message);
      return;
  }
}

void CliProgress::beginStep(const std::string& title) {
  endStep(true);
  steps_.push_back(Step{title, "", 0});
  stepStart_ = Clock::now();
  waiting_ = false;
  stepFailed_ = false;
  news_.clear();
  if (live_)
    drawRunning();
  else
    print("  ->  " + title);
}

void CliProgress::endStep(bool ok) {
  if (steps_.empty() || !steps_.back().result.empty()) return;
  Step& step = steps_.back();
  ok = ok && !stepFailed_;
  step.result = ok ? "done" : "failed";
  step.seconds = since(stepStart_);
  std::string line = std::string(ok ? "  ok  " : "  FAIL  ") + step.title + " (" +
                     seconds(step.seconds) + ")";
  if (out_ == nullptr) return;
  if (lineOpen_) std::fputs("\r\033[K", out_);
  lineOpen_ = false;
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

Json CliProgress::stepsJson() const {
  Json list = Json::array();
  for (const Step& s : steps_)
    list.push_back(Json{{"title", s.title}, {"result", s.result}, {"seconds", s.seconds}});
  return list;
}

void CliProgress::sleepMs(int ms) {
  if (!live_) return system_->sleepMs(ms);
  // Short slices, so that the wait line keeps counting.
  while (ms > 0) {
    int slice = ms < 250 ? ms : 250;
    system_->sleepMs(slice);
    ms -= slice;
    drawRunning();
  }
}

void CliProgress::print(const std::string& line) {
  if (out_ == nullptr) return;
  if (lineOpen_) std::fputs("\r\033[K", out_);
  std::fprintf(out_, "%s\n", line.c_str());
  lineOpen_ = false;
  if (live_) drawRunning();
  std::fflush(out_);
}

void CliProgress::drawRunning() {
  if (!live_ || steps_.empty() || !steps_.back().result.empty()) return;
  std::string line = "  ..  " + steps_.back().title;
  bool newsIsTitle = news_.rfind(steps_.back().title, 0) == 0;
  if (waiting_) line += "   [" + seconds(since(waitStart_)) + (newsIsTitle ? "" : "  " + news_) + "]";
  std::fprintf(out_, "\r\033[K%s", line.c_str());
  std::fflush(out_);
  lineOpen_ = true;
}

double CliProgress::since(Clock::time_point t) const {
  return std::chrono::duration<double>(Clock::now() - t).count();
}
