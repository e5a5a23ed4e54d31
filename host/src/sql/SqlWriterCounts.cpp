#include "SqlWriterCounts.h"

#include <map>

namespace {

struct Registry {
  std::mutex mutex;
  // One entry per database name the process writes: a handful.
  std::map<std::string, std::shared_ptr<SqlWriterCounts>> byName;

  static Registry& process() {
    static auto* registry = new Registry;  // outlives the handles closed at exit
    return *registry;
  }
};

}  // namespace

std::shared_ptr<SqlWriterCounts> SqlWriterCounts::of(const std::string& database) {
  Registry& registry = Registry::process();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::shared_ptr<SqlWriterCounts>& counts = registry.byName[database];
  if (!counts) counts = std::make_shared<SqlWriterCounts>(database);
  return counts;
}

std::vector<DWSqlWriterUsage> SqlWriterCounts::all() {
  std::vector<std::shared_ptr<SqlWriterCounts>> counts;
  {
    Registry& registry = Registry::process();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& entry : registry.byName) counts.push_back(entry.second);
  }
  std::vector<DWSqlWriterUsage> out;
  for (const std::shared_ptr<SqlWriterCounts>& c : counts) out.push_back(c->usage());
  return out;
}

double SqlWriterCounts::secondsSince(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void SqlWriterCounts::waited(Clock::time_point since, bool granted) {
  const double secs = secondsSince(since);
  std::lock_guard<std::mutex> lock(mutex_);
  usage_.waitSecs += secs;
  if (granted) ++usage_.writes;
}

void SqlWriterCounts::held(Clock::time_point since) {
  const double secs = secondsSince(since);
  std::lock_guard<std::mutex> lock(mutex_);
  usage_.heldSecs += secs;
}

void SqlWriterCounts::flushed(Clock::time_point since) {
  const double secs = secondsSince(since);
  std::lock_guard<std::mutex> lock(mutex_);
  ++usage_.flushes;
  usage_.flushSecs += secs;
}

void SqlWriterCounts::commitWaited(Clock::time_point since) {
  const double secs = secondsSince(since);
  std::lock_guard<std::mutex> lock(mutex_);
  usage_.commitWaitSecs += secs;
}

DWSqlWriterUsage SqlWriterCounts::usage() {
  std::lock_guard<std::mutex> lock(mutex_);
  return usage_;
}
