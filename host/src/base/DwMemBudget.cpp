#include "host/base/DwMemBudget.h"

#include <malloc.h>

#include <cerrno>
#include <chrono>

namespace {

// Trimming walks the heap: worth it only after a burst of this much.
constexpr size_t kTrimAfterBytes = 16u << 20;
// Waits are sliced so that `cancelled` is asked now and then.
constexpr auto kPollSlice = std::chrono::milliseconds(50);

}  // namespace

CZuError DwMemBudget::acquire(size_t bytes, int timeoutMs,
                              const std::function<bool()>& cancelled) {
  if (bytes > limit_)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "%zu bytes exceed the server's memory budget of %zu bytes",
                                 bytes, limit_);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mu_);
  while (!closed_ && inFlight_ + bytes > limit_) {
    if (cancelled && cancelled())
      return FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "Couldn't admit %zu bytes: cancelled", bytes);
    auto now = std::chrono::steady_clock::now();
    if (now >= until)
      return FXErrorUtil::ErrorInt(FXLOC, ETIMEDOUT,
                                   "Couldn't admit %zu bytes: the memory budget of %zu bytes "
                                   "stayed in use for %d ms",
                                   bytes, limit_, timeoutMs);
    cv_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(until - now, kPollSlice));
  }
  if (closed_)
    return FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "Couldn't admit %zu bytes: cancelled", bytes);
  inFlight_ += bytes;
  if (inFlight_ > peak_) peak_ = inFlight_;
  return CZuError();
}

void DwMemBudget::release(size_t bytes) {
  bool trim = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    inFlight_ -= bytes;
    releasedSinceTrim_ += bytes;
    if (inFlight_ == 0 && releasedSinceTrim_ >= kTrimAfterBytes) {
      releasedSinceTrim_ = 0;
      trim = true;
    }
  }
  cv_.notify_all();
  if (trim) malloc_trim(0);
}

void DwMemBudget::close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  cv_.notify_all();
}

size_t DwMemBudget::peak() {
  std::lock_guard<std::mutex> lock(mu_);
  return peak_;
}

CZuError DwMemBudget::Grant::take(DwMemBudget* budget, size_t bytes, int timeoutMs,
                                  const std::function<bool()>& cancelled) {
  reset();
  CZuError err = budget->acquire(bytes, timeoutMs, cancelled);
  if (err.IsError()) return err;
  budget_ = budget;
  bytes_ = bytes;
  return err;
}

void DwMemBudget::Grant::reset() {
  if (budget_ != nullptr) budget_->release(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}
