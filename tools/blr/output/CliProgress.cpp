#include "output/CliProgress.h"

#include <algorithm>

namespace {

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, s < 10 ? "%.1fs" : "%.0fs", s);
  return text;
}

std::string textOf(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

CliProgress::CliProgress(FILE* out, bool live)
    : out_(out), live_(live && out != nullptr), system_(DwClock::current()) {}

CliProgress::~CliProgress() {
  if (attached_) DwClock::install(system_);
}

void CliProgress::attach() {
  system_ = DwClock::install(this);
  attached_ = true;
}

void CliProgress::onStepBegin(int, const std::string& title) { beginStep(title); }

void CliProgress::onWaitTick(const std::string& news) {
  if (!waiting_) waitStart_ = Clock::now();
  waiting_ = true;
  news_ = news;
  if (!steps_.empty() && steps_.back().result.empty()) steps_.back().news = news;
  if (live_)
    drawRunning();
  else
    print(waitLine(since(waitStart_), news));
}

std::string CliProgress::beginLine(const std::string& title) { return "  ->  " + title; }

std::string CliProgress::waitLine(double secs, const std::string& news) {
  return "        " + seconds(secs) + "  " + news;
}

std::string CliProgress::endLine(const Step& step) {
  return std::string(step.result == "done" ? "  ok  " : "  FAIL  ") + step.title + " (" +
         seconds(step.seconds) + ")";
}

void CliProgress::onFailure(const std::string& text) {
  if (!steps_.empty() && steps_.back().result.empty()) stepFailed_ = true;
  print("      ! " + cliOneLine(text.substr(0, text.find('\n'))));
}

void CliProgress::beginStep(const std::string& title) {
  endStep(true);
  steps_.push_back(Step{title, "", 0, ""});
  stepStart_ = Clock::now();
  waiting_ = false;
  stepFailed_ = false;
  news_.clear();
  if (live_)
    drawRunning();
  else
    print(beginLine(title));
}

void CliProgress::endStep(bool ok) {
  if (steps_.empty() || !steps_.back().result.empty()) return;
  Step& step = steps_.back();
  ok = ok && !stepFailed_;
  step.result = ok ? "done" : "failed";
  step.seconds = since(stepStart_);
  std::string line = endLine(step);
  if (out_ == nullptr) return;
  if (lineOpen_) std::fputs("\r\033[K", out_);
  lineOpen_ = false;
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void CliProgress::note(const std::string& text) {
  if (!steps_.empty()) steps_.back().news = text;
  print("      ! " + cliOneLine(text));
}

Json CliProgress::stepsJson() const {
  Json list = Json::array();
  for (const Step& s : steps_) {
    Json step = {{"title", s.title}, {"result", s.result}, {"seconds", s.seconds}};
    if (!s.news.empty()) step["news"] = s.news;
    list.push_back(step);
  }
  return list;
}

std::vector<CliProgress::Step> CliProgress::stepsFromJson(const std::string& text, bool* readable) {
  std::vector<Step> steps;
  Json list = Json::parse(text.empty() ? "[]" : text, nullptr, false);
  if (readable) *readable = list.is_array();
  if (!list.is_array()) return steps;
  for (const Json& s : list) {
    if (!s.is_object()) continue;
    Step step;
    auto title = s.find("title");
    if (title != s.end()) step.title = title->is_string() ? title->get<std::string>() : cliJsonCompact(*title);
    step.result = textOf(s, "result");
    step.news = textOf(s, "news");
    auto secs = s.find("seconds"), start = s.find("start");
    step.seconds = secs != s.end() && secs->is_number() ? std::max(0.0, secs->get<double>()) : 0;
    if (start != s.end() && start->is_number()) step.start = std::max(0.0, start->get<double>());
    steps.push_back(step);
  }
  return steps;
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
