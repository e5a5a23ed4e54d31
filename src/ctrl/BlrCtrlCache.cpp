#include "BLR/BlrCtrl.h"

#include "BLR/BlrDebug.h"
#include "host/base/DwClock.h"

BlrCtrlCache::BlrCtrlCache(const Limits& limits) : limits_(limits) {}

BlrCtrlCache::~BlrCtrlCache() = default;

// Still open and in step, not idle or alive too long.  Anything pending on an
// idle connection is a close or bytes nobody asked for: either way it goes.
bool BlrCtrlCache::fresh(Kept& kept, time_t now) const {
  return kept.conn->reusable() && now - kept.keptAt <= limits_.maxIdleSecs &&
         now - kept.conn->connectedAt() <= limits_.maxAgeSecs && !kept.conn->msgPending();
}

std::unique_ptr<BlrCtrl> BlrCtrlCache::take(const std::string& host) {
  const time_t now = DwClock::current()->now();
  auto match = kept_.end();
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (!fresh(*it, now)) {
      it = kept_.erase(it);
      continue;
    }
    if (it->host == host) match = it;  // the newest: the likeliest still open
    ++it;
  }
  if (match == kept_.end()) return nullptr;
  std::unique_ptr<BlrCtrl> conn = std::move(match->conn);
  kept_.erase(match);
  blrNetDebug("BlrCtrlCache::take", 2, "Reusing the control connection to %s",
              conn->clientName.c_str());
  return conn;
}

void BlrCtrlCache::keep(const std::string& host, std::unique_ptr<BlrCtrl> conn) {
  if (!conn || !conn->reusable() || limits_.maxKept <= 0) return;
  if (kept_.size() >= static_cast<size_t>(limits_.maxKept)) kept_.pop_front();
  kept_.push_back({host, std::move(conn), DwClock::current()->now()});
}
