// A clock for tests: now() is what the test set, and sleeping advances it
// instead of waiting (or, with `realSleeps`, waits on the clock current when
// it was made and leaves the time alone: for code that waits on locks through
// the clock).  ManualClock::Installer makes it the process's clock.
#ifndef BLR_TESTS_SUPPORT_MANUALCLOCK_H
#define BLR_TESTS_SUPPORT_MANUALCLOCK_H

#include <atomic>
#include <ctime>
#include <functional>

#include "host/base/DwClock.h"

class ManualClock : public DwClock {
 public:
  // A plausible wall time by default: code under test may treat 0 as "never".
  explicit ManualClock(time_t start = 1700000000, bool realSleeps = false)
      : nowMs_(start * 1000LL), sleeper_(realSleeps ? DwClock::current() : nullptr) {}

  time_t now() override { return static_cast<time_t>(nowMs_.load() / 1000); }
  void sleepMs(int ms) override {
    if (sleeper_)
      sleeper_->sleepMs(ms);
    else
      nowMs_ += ms > 0 ? ms : 0;
    if (onSleep) onSleep();
  }

  long long nowMs() const { return nowMs_; }
  void set(time_t t) { nowMs_ = t * 1000LL; }
  void advance(time_t secs) { nowMs_ += secs * 1000LL; }

  std::function<void()> onSleep;  // called after each sleep; set it before use

  class Installer {
   public:
    explicit Installer(DwClock* clock) : previous_(DwClock::install(clock)) {}
    ~Installer() { DwClock::install(previous_); }
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

   private:
    DwClock* previous_;
  };

 private:
  std::atomic<long long> nowMs_;
  DwClock* sleeper_;
};

#endif  // BLR_TESTS_SUPPORT_MANUALCLOCK_H
