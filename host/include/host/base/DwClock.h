// The host's clock: wall time in seconds and sleeping, behind one seam so that
// tests can replace it and run long waits without waiting.
#ifndef HOST_DWCLOCK_H
#define HOST_DWCLOCK_H

#include <ctime>

class DwClock {
 public:
  virtual ~DwClock() = default;

  virtual time_t now() = 0;  // seconds since the epoch
  virtual void sleepMs(int ms) = 0;

  // The process's clock: the system clock unless a test installed another.
  static DwClock* current();
  // Makes `clock` the process's clock (null restores the system clock) and
  // returns the previous one.  The caller keeps ownership.
  static DwClock* install(DwClock* clock);
};

// Local calendar time of a time stamp (thread-safe).
struct tm DW_localtime(time_t t);

// Sleeps through the process's clock; `file` and `line` name the caller.
void ZuSleep(int ms, const char* file, int line);
#define ZUSLEEP(ms) ZuSleep((ms), __FILE__, __LINE__)

#endif  // HOST_DWCLOCK_H
