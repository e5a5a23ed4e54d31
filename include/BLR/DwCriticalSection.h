// The library's lock and its scoped holder.
#ifndef BLR_DWCRITICALSECTION_H
#define BLR_DWCRITICALSECTION_H

#include "BLR/BlrExport.h"

class DwCriticalSectionH;

// Owns one host lock object for its whole life.
class BLR_API DwCriticalSection {
 public:
  // Throws the text "Not enough memory to initialize DwCriticalSection" (a
  // const char*) when the host lock object can't be made.
  DwCriticalSection();
  ~DwCriticalSection();
  DwCriticalSection(const DwCriticalSection&) = delete;
  DwCriticalSection& operator=(const DwCriticalSection&) = delete;

  void enter(bool wait);
  void leave();

 private:
  DwCriticalSectionH* handle_;
};

// Enters the lock when made and leaves it when destroyed; a null lock is
// neither entered nor left.
class BLR_API DwCriticalSectionLock {
 public:
  explicit DwCriticalSectionLock(DwCriticalSection* cs);
  ~DwCriticalSectionLock();
  DwCriticalSectionLock(const DwCriticalSectionLock&) = delete;
  DwCriticalSectionLock& operator=(const DwCriticalSectionLock&) = delete;

 private:
  DwCriticalSection* cs_;
};

#endif  // BLR_DWCRITICALSECTION_H
