#include "SqliteWriterLock.h"

#include <chrono>
#include <map>

#include "host/DWSimpleDBConnObject.h"

std::shared_ptr<SqliteWriterLock> SqliteWriterLock::forFile(const std::string& file) {
  static std::mutex mutex;
  static auto* locks = new std::map<std::string, std::weak_ptr<SqliteWriterLock>>;
  std::lock_guard<std::mutex> guard(mutex);
  std::shared_ptr<SqliteWriterLock> lock = (*locks)[file].lock();
  if (!lock) {
    for (auto it = locks->begin(); it != locks->end();) it = it->second.expired() ? locks->erase(it) : std::next(it);
    lock = std::make_shared<SqliteWriterLock>();
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool granted = place.turn.wait_until(lock, deadline, [&] { return !held_ && line_.first(&place); });
  line_.leave(&place);
  if (!granted) {
    line_.wakeFirst();  // the lock may be free for the one behind
    *error = "Another writer of this process held the database for " + std::to_string(timeoutMs) + " ms";
    return DWSQL_BUSY;
  }
  held_ = true;
  owner_ = std::this_thread::get_id();
  return 0;
}

void SqliteWriterLock::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    owner_ = std::thread::id();
    line_.wakeFirst();
  }
}
