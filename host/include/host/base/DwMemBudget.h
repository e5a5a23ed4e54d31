// A budget of bytes shared by the frames a server holds at once.  A frame is
// admitted from its header, before anything of it is allocated: it waits for
// room, or is refused when it could never fit or no room came in time.  When
// the last byte in flight after a burst is released, freed heap memory is
// handed back to the system.
#ifndef HOST_DWMEMBUDGET_H
#define HOST_DWMEMBUDGET_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#include "host/base/CZuError.h"

class DwMemBudget {
 public:
  explicit DwMemBudget(size_t limit) : limit_(limit) {}
  DwMemBudget(const DwMemBudget&) = delete;
  DwMemBudget& operator=(const DwMemBudget&) = delete;

  // Takes `bytes`, waiting up to `timeoutMs` for room; `cancelled` is asked
  // while waiting and ends the wait with ECANCELED when true.  Fails with code
  // 1 when `bytes` exceed the whole budget, ETIMEDOUT when no room came.
  CZuError acquire(size_t bytes, int timeoutMs, const std::function<bool()>& cancelled);
  void release(size_t bytes);
  // Ends every wait (with ECANCELED) and refuses further ones.
  void close();

  size_t limit() const { return limit_; }
  // The most bytes held at once so far.
  size_t peak();

  // Bytes held for one frame; released on destruction.
  class Grant {
   public:
    Grant() = default;
    ~Grant() { reset(); }
    Grant(const Grant&) = delete;
    Grant& operator=(const Grant&) = delete;
    CZuError take(DwMemBudget* budget, size_t bytes, int timeoutMs,
                  const std::function<bool()>& cancelled);
    void reset();

   private:
    DwMemBudget* budget_ = nullptr;
    size_t bytes_ = 0;
  };

 private:
  const size_t limit_;
  std::mutex mu_;
  std::condition_variable cv_;
  size_t inFlight_ = 0;
  size_t peak_ = 0;
  size_t releasedSinceTrim_ = 0;
  bool closed_ = false;
};

#endif  // HOST_DWMEMBUDGET_H
