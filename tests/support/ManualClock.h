// A clock for tests: now() is what the test set, and sleeping advances it
// instead of waiting.  Install it with ManualClock::Installer for the scope
// of a test.
#ifndef BLR_TESTS_SUPPORT_MANUALCLOCK_H
#define BLR_TESTS_SUPPORT_MANUALCLOCK_H

#include <atomic>
#include <ctime>

#include "host/DwClock.h"

class ManualClock : public DwClock {
 public:
  // A plausible wall time by default: code under test may treat 0 as "never".
  explicit ManualClock(time_t start = 1700000000) : nowMs_(static_cast<long long>(start) * 1000) {}

  time_t now() override { return static_cast<time_t>(nowMs_.load() / 1000); }
  void sleepMs(int ms) override {
    if (ms > 0) advanceMs(ms);
    sleptMs_ += ms > 0 ? ms : 0;
  }

  void set(time_t t) { nowMs_ = static_cast<long long>(t) * 1000; }
  void advance(time_t secs) { advanceMs(static_cast<long long>(secs) * 1000); }
  void advanceMs(long long ms) { nowMs_ += ms; }
  // Total of the sleeps asked for since construction.
  long long sleptMs() const { return sleptMs_.load(); }

  // Makes `clock` the process's clock for the installer's lifetime.
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
  std::atomic<long long> sleptMs_{0};
};

#endif  // BLR_TESTS_SUPPORT_MANUALCLOCK_H
