#include "host/base/DwClock.h"

#include <chrono>
#include <thread>

#include "host/base/DwSeam.h"

namespace {

class SystemClock : public DwClock {
 public:
  time_t now() override { return ::time(nullptr); }
  void sleepMs(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

SystemClock systemClock;
DwSeam<DwClock> seam(&systemClock);

}  // namespace

DwClock* DwClock::current() { return seam.current(); }

DwClock* DwClock::install(DwClock* clock) { return seam.install(clock); }

struct tm DW_localtime(time_t t) {
  struct tm out {};
  localtime_r(&t, &out);
  return out;
}

void ZuSleep(int ms, const char* /*file*/, int /*line*/) { DwClock::current()->sleepMs(ms); }
