#include "LagSampler.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include "BLR/BlrDebug.h"
#include "FleetView.h"
#include "host/base/DwClock.h"

namespace {

CZuError seed(const std::string& file, LagHistory* history) {
  std::ifstream in(file);
  if (!in) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't read %s", file.c_str());
  const int64_t now = DwClock::current()->now();
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    int64_t ago = 0;
    if (!(words >> ago)) continue;
    std::vector<std::pair<int32_t, int32_t>> lags;
    int32_t id = 0, lag = 0;
    char colon = 0;
    while (words >> id >> colon >> lag && colon == ':') lags.emplace_back(id, lag);
    history->record(now - ago, std::move(lags));
  }
  return CZuError();
}

}  // namespace

CZuError LagSampler::start(const std::string& seedFile) {
  if (!seedFile.empty()) {
    CZuError err = seed(seedFile, &history_);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't seed the lag history");
  }
  stopping_ = false;
  return thread_.spawn([this] { run(); });
}

void LagSampler::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.joinAll();
}

void LagSampler::run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    lock.unlock();
    std::vector<std::pair<int32_t, int32_t>> lags;
    CZuError err = fleetReadLags(&lags);
    const int64_t now = DwClock::current()->now();
    if (err.IsError())
      blrError("LagSampler", "No lag sample this interval: %s", err.Summary().c_str());
    else
      history_.record(now, std::move(lags));
    lock.lock();
    // Just after the next interval begins.
    const int64_t wait = history_.intervalSecs() - now % history_.intervalSecs() + 1;
    cv_.wait_for(lock, std::chrono::seconds(wait), [this] { return stopping_; });
  }
}
