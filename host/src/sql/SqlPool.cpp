#include "SqlPool.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

#include "SqlTicketLine.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

using Clock = std::chrono::steady_clock;

// For idle times, which need no finer grain than the scheduler's tick: the
// coarse clock reads a value the kernel keeps, at a fraction of the cost of
// the precise one, twice a request.  Both count from the same start.
Clock::time_point idleClockNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(now.tv_sec) +
                                                                       std::chrono::nanoseconds(now.tv_nsec)));
}

}  // namespace

struct SqlLease::Shelf {
  struct Idle {
    std::unique_ptr<SqlBackend> handle;
    Clock::time_point since;
  };

  std::string database;  // its registry name
  std::mutex mutex;
  SqlTicketLine line;  // woken when a handle comes back or a slot frees
  std::vector<Idle> idle;  // the most recently given back last
  int open = 0;            // lent and idle
  int limit = 1;
  int idleSecs = 0;

  // Moves the handles idle for longer than idleSecs to `expired`, to be
  // closed outside the lock.
  void expire(Clock::time_point now, std::vector<std::unique_ptr<SqlBackend>>* expired) {
    auto fresh = std::find_if(idle.begin(), idle.end(), [&](const Idle& i) {
      return now - i.since < std::chrono::seconds(idleSecs);
    });
    for (auto it = idle.begin(); it != fresh; ++it) expired->push_back(std::move(it->handle));
    open -= static_cast<int>(fresh - idle.begin());
    idle.erase(idle.begin(), fresh);
  }
};

namespace {

// The shelves of which the running thread holds a handle.  Plain data, so
// that it outlives the thread's destructors: a database may still be used
// from exit handlers.  A thread holding more handles at once than there are
// slots is not tracked beyond them.
struct HeldShelves {
  static const int kSlots = 16;
  const SqlLease::Shelf* shelves[kSlots];
  int count;
};
thread_local HeldShelves tHeld;

void markHeld(const SqlLease::Shelf* shelf) {
  if (tHeld.count < HeldShelves::kSlots) tHeld.shelves[tHeld.count] = shelf;
  ++tHeld.count;
}

void unmarkHeld(const SqlLease::Shelf* shelf) {
  const int tracked = std::min(tHeld.count, static_cast<int>(HeldShelves::kSlots));
  for (int i = tracked - 1; i >= 0; --i) {
    if (tHeld.shelves[i] != shelf) continue;
    tHeld.shelves[i] = tHeld.shelves[tracked - 1];
    break;
  }
  --tHeld.count;
}

bool holds(const SqlLease::Shelf* shelf) {
  const int tracked = std::min(tHeld.count, static_cast<int>(HeldShelves::kSlots));
  for (int i = 0; i < tracked; ++i)
    if (tHeld.shelves[i] == shelf) return true;
  return false;
}

}  // namespace

SqlLease::SqlLease(Shelf* shelf, std::unique_ptr<SqlBackend> handle)
    : shelf_(shelf), handle_(std::move(handle)) {
  markHeld(shelf_);
}

SqlLease::~SqlLease() {
  unmarkHeld(shelf_);
  std::vector<std::unique_ptr<SqlBackend>> closing;
  {
    std::lock_guard<std::mutex> lock(shelf_->mutex);
    const bool broken = handle_->broken();
    if (broken || handle_->inTransaction() || shelf_->idleSecs == 0) {
      closing.push_back(std::move(handle_));
      --shelf_->open;
      // The others were most likely opened on the same server, which may be gone.
      if (broken) {
        for (auto& i : shelf_->idle) closing.push_back(std::move(i.handle));
        shelf_->open -= static_cast<int>(shelf_->idle.size());
        shelf_->idle.clear();
      }
    } else {
      shelf_->idle.push_back({std::move(handle_), idleClockNow()});
    }
    shelf_->line.wakeFirst();
  }
  // `closing` closes its handles here, outside the lock.
}

SqlHandlePool& SqlHandlePool::process() {
  static SqlHandlePool* pool = new SqlHandlePool;  // lives until the process ends
  return *pool;
}

SqlHandlePool::~SqlHandlePool() = default;

SqlLease::Shelf* SqlHandlePool::shelf(const SqlLocation& where) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<SqlLease::Shelf>& shelf = shelves_[where.poolKey];
  if (!shelf) {
    shelf.reset(new SqlLease::Shelf);
    shelf->database = where.name;
  }
  return shelf.get();
}

int SqlHandlePool::lease(const SqlLocation& where, std::unique_ptr<SqlLease>* out, std::string* error) {
  SqlLease::Shelf* shelf = this->shelf(where);
  std::vector<std::unique_ptr<SqlBackend>> expired;
  std::unique_lock<std::mutex> lock(shelf->mutex);
  shelf->limit = where.poolSize;
  shelf->idleSecs = where.poolIdleSecs;
  shelf->expire(idleClockNow(), &expired);
  const bool nested = holds(shelf);
  auto available = [&] { return !shelf->idle.empty() || shelf->open < shelf->limit; };
  // A thread holding a handle already goes first: it may be what the line
  // waits for.  Nobody waiting and a handle to be had: no need to queue.
  if (!nested && !(shelf->line.empty() && available())) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(where.busyTimeoutMs);
    SqlTicketLine::Place place;
    shelf->line.join(&place);
    const bool ready = place.turn.wait_until(
        lock, deadline, [&] { return shelf->line.first(&place) && available(); });
    shelf->line.leave(&place);
    if (!ready) {
      shelf->line.wakeFirst();
      *error = "All " + std::to_string(shelf->open) + " handles of database " + where.name +
               " stayed in use for " + std::to_string(where.busyTimeoutMs) + " ms";
      return DWSQL_BUSY;
    }
  }
  if (!shelf->idle.empty()) {
    std::unique_ptr<SqlBackend> handle = std::move(shelf->idle.back().handle);
    shelf->idle.pop_back();
    if (available()) shelf->line.wakeFirst();
    out->reset(new SqlLease(shelf, std::move(handle)));
    return 0;
  }
  ++shelf->open;
  if (available()) shelf->line.wakeFirst();
  lock.unlock();
  std::unique_ptr<SqlBackend> handle = sqlBackendOf(where.backend).make();
  int rc = handle->open(where, error);
  if (rc != 0) {
    handle.reset();
    lock.lock();
    --shelf->open;
    shelf->line.wakeFirst();
    return rc;
  }
  out->reset(new SqlLease(shelf, std::move(handle)));
  return 0;
}

void SqlHandlePool::closeIdle() {
  std::vector<std::unique_ptr<SqlBackend>> closing;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : shelves_) {
    SqlLease::Shelf& shelf = *entry.second;
    std::lock_guard<std::mutex> shelfLock(shelf.mutex);
    for (auto& i : shelf.idle) closing.push_back(std::move(i.handle));
    shelf.open -= static_cast<int>(shelf.idle.size());
    shelf.idle.clear();
  }
}

int SqlHandlePool::openCount(const SqlLocation& where) {
  SqlLease::Shelf* shelf = this->shelf(where);
  std::lock_guard<std::mutex> lock(shelf->mutex);
  return shelf->open;
}

std::vector<DWSqlHandleUsage> SqlHandlePool::usage() {
  std::vector<DWSqlHandleUsage> out;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : shelves_) {
    SqlLease::Shelf& shelf = *entry.second;
    std::lock_guard<std::mutex> shelfLock(shelf.mutex);
    auto same = std::find_if(out.begin(), out.end(),
                             [&](const DWSqlHandleUsage& u) { return u.database == shelf.database; });
    if (same == out.end()) same = out.insert(out.end(), DWSqlHandleUsage{shelf.database, 0, 0});
    const int idle = static_cast<int>(shelf.idle.size());
    same->idle += idle;
    same->inUse += shelf.open - idle;
  }
  return out;
}
