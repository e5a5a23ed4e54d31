#include "BLR/DwCriticalSection.h"

#include <new>

#include "host/base/DwCriticalSectionH.h"

DwCriticalSection::DwCriticalSection() : handle_(new (std::nothrow) DwCriticalSectionH) {
  if (handle_ == nullptr) throw "Not enough memory to initialize DwCriticalSection";
}

DwCriticalSection::~DwCriticalSection() {
  delete handle_;
  handle_ = nullptr;
}

void DwCriticalSection::enter(bool wait) { handle_->enter(wait); }

void DwCriticalSection::leave() { handle_->leave(); }

DwCriticalSectionLock::DwCriticalSectionLock(DwCriticalSection* cs) : cs_(cs) {
  if (cs_ != nullptr) cs_->enter(true);
}

DwCriticalSectionLock::~DwCriticalSectionLock() {
  if (cs_ != nullptr) cs_->leave();
}
