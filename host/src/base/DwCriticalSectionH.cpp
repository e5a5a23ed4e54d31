#include "host/base/DwCriticalSectionH.h"

bool DwCriticalSectionH::enter(bool wait) {
  if (!wait) return mu_.try_lock();
  mu_.lock();
  return true;
}

void DwCriticalSectionH::leave() { mu_.unlock(); }
