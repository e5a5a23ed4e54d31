#include "host/base/DwThreadGroup.h"

#include <system_error>

CZuError DwThreadGroup::spawn(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mu_);
  members_.emplace_back();
  Member* self = &members_.back();
  try {
    self->thread = std::thread([this, self, work = std::move(work)] {
      work();
      std::lock_guard<std::mutex> lock(mu_);
      self->done = true;
    });
  } catch (const std::system_error& e) {
    members_.pop_back();
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start thread: %s", e.what());
  }
  return CZuError();
}

void DwThreadGroup::join(std::list<Member>* members) {
  for (Member& m : *members) m.thread.join();
}

void DwThreadGroup::reapDone() {
  std::list<Member> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = members_.begin(); it != members_.end();) {
      auto next = std::next(it);
      if (it->done) done.splice(done.end(), members_, it);
      it = next;
    }
  }
  join(&done);
}

void DwThreadGroup::joinAll() {
  std::list<Member> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(members_);
  }
  join(&all);
}
