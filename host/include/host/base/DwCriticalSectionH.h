// The host's lock object: a plain, non-recursive mutex.
#ifndef HOST_DWCRITICALSECTIONH_H
#define HOST_DWCRITICALSECTIONH_H

#include <mutex>

class DwCriticalSectionH {
 public:
  DwCriticalSectionH() = default;
  DwCriticalSectionH(const DwCriticalSectionH&) = delete;
  DwCriticalSectionH& operator=(const DwCriticalSectionH&) = delete;

  // wait == true blocks until the calling thread owns the lock and returns
  // true; wait == false only tries and returns whether it got the lock.
  bool enter(bool wait);
  void leave();

 private:
  std::mutex mu_;
};

#endif  // HOST_DWCRITICALSECTIONH_H
