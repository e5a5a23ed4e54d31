#include "SqliteWriterLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "SqliteSession.h"
#include "host/sql/DWSimpleDBConnObject.h"

SqliteWriterLock::SqliteWriterLock(const std::string& file, const std::string& database)
    : log_(file + "-wal"), counts_(SqlWriterCounts::of(database.empty() ? file : database)) {}

SqliteWriterLock::~SqliteWriterLock() = default;

std::shared_ptr<SqliteWriterLock> SqliteWriterLock::forFile(const std::string& file, const std::string& database) {
  static std::mutex mutex;
  static auto* locks = new std::map<std::string, std::weak_ptr<SqliteWriterLock>>;
  std::lock_guard<std::mutex> guard(mutex);
  std::shared_ptr<SqliteWriterLock> lock = (*locks)[file].lock();
  if (!lock) {
    for (auto it = locks->begin(); it != locks->end();) it = it->second.expired() ? locks->erase(it) : std::next(it);
    lock.reset(new SqliteWriterLock(file, database));
    (*locks)[file] = lock;
  }
  return lock;
}

int SqliteWriterLock::acquire(int timeoutMs, std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (held_ && owner_ == std::this_thread::get_id()) {
    *error = "This thread already holds the write lock through another connection";
    return DWSQL_BUSY;
  }
  SqlTicketLine::Place place;
  line_.join(&place);
  const Clock::time_point arrived = Clock::now();
  bool granted = place.turn.wait_until(lock, arrived + std::chrono::milliseconds(timeoutMs),
                                       [&] { return !held_ && line_.first(&place); });
  line_.leave(&place);
  counts_->waited(arrived, granted);
  if (!granted) {
    line_.wakeFirst();  // the lock may be free for the one behind
    *error = "Another writer of this process held the database for " + std::to_string(timeoutMs) + " ms";
    return DWSQL_BUSY;
  }
  held_ = true;
  owner_ = std::this_thread::get_id();
  heldSince_ = Clock::now();
  return 0;
}

uint64_t SqliteWriterLock::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_->held(heldSince_);
  held_ = false;
  owner_ = std::thread::id();
  line_.wakeFirst();
  return ++written_;
}

uint64_t SqliteWriterLock::committed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ++written_;
}

namespace {

// Flushes the file's data to disk.  A log that isn't there holds nothing to
// flush: SQLite removes it only after a checkpoint flushed its commits.
int flushFile(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return 0;
  if (fd < 0 || ::fdatasync(fd) != 0) {
    *error = "Couldn't flush " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return DWSQL_IO;
  }
  ::close(fd);
  return 0;
}

}  // namespace

int SqliteWriterLock::syncWritten(uint64_t written, std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  struct CountWait {
    SqlWriterCounts& counts;
    const Clock::time_point start;
    ~CountWait() { counts.commitWaited(start); }
  } count{*counts_, Clock::now()};
  while (synced_ < written) {
    if (syncing_) {
      syncEnded_.wait(lock);
      continue;
    }
    // Every commit counted so far was written before this flush starts.
    syncing_ = true;
    const uint64_t covered = written_;
    const Clock::time_point flushStart = Clock::now();
    lock.unlock();
    int rc = flushFile(log_, error);
    lock.lock();
    syncing_ = false;
    ++flushes_;
    counts_->flushed(flushStart);
    syncEnded_.notify_all();
    if (rc != 0) return rc;
    synced_ = std::max(synced_, covered);
  }
  return 0;
}

uint64_t SqliteWriterLock::flushes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return flushes_;
}
