#include "host/base/DwClock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class SystemClock : public DwClock {
 public:
  time_t now() override { return ::time(nullptr); }
  void sleepMs(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

SystemClock systemClock;
std::atomic<DwClock*> installed{nullptr};

}  // namespace

DwClock* DwClock::current() {
  DwClock* c = installed.load(std::memory_order_acquire);
  return c ? c : &systemClock;
}

DwClock* DwClock::install(DwClock* clock) {
  DwClock* previous = installed.exchange(clock, std::memory_order_acq_rel);
  return previous ? previous : &systemClock;
}

struct tm DW_localtime(time_t t) {
  struct tm out {};
  localtime_r(&t, &out);
  return out;
}

void ZuSleep(int ms, const char* /*file*/, int /*line*/) { DwClock::current()->sleepMs(ms); }
