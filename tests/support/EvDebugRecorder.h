// Records every call of the debug-log sink while it lives, so tests can check
// what was logged without parsing log files.
#ifndef BLR_TESTS_SUPPORT_EVDEBUGRECORDER_H
#define BLR_TESTS_SUPPORT_EVDEBUGRECORDER_H

#include <mutex>
#include <string>
#include <vector>

#include "host/log/EvDebug.h"

struct RecordedLine {
  int severity;
  bool hasFunction;  // the function pointer was not null
  std::string function;
  long long id;
  std::string prefix;
  std::string message;
};

class EvDebugRecorder : public EvDebugObserver {
 public:
  EvDebugRecorder() : previous_(EvDebug::installObserver(this)) {}
  ~EvDebugRecorder() override { EvDebug::installObserver(previous_); }
  EvDebugRecorder(const EvDebugRecorder&) = delete;
  EvDebugRecorder& operator=(const EvDebugRecorder&) = delete;

  void onRecord(const EvDebugRecord& r) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back({r.severity, r.function != nullptr, r.function ? r.function : "", r.id,
                      r.prefix ? r.prefix : "", r.message});
  }

  std::vector<RecordedLine> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const RecordedLine& l : lines()) out.push_back(l.message);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

 private:
  EvDebugObserver* previous_;
  mutable std::mutex mu_;
  std::vector<RecordedLine> lines_;
};

#endif  // BLR_TESTS_SUPPORT_EVDEBUGRECORDER_H
