// What the writers of one database of this process spent, by the database's
// registry name, for the life of the process: writes go one at a time on
// both backends (SQLite's writer lock, PostgreSQL's database-wide write
// lock), and that is where a busy server queues.  Internal to the host
// library.
#ifndef HOST_SRC_SQLWRITERCOUNTS_H
#define HOST_SRC_SQLWRITERCOUNTS_H

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/sql/DWSimpleDBConnObject.h"

class SqlWriterCounts {
 public:
  using Clock = std::chrono::steady_clock;

  // The counts of `database`, shared by all its handles.
  static std::shared_ptr<SqlWriterCounts> of(const std::string& database);
  // Every database written or opened for writing so far, by name.
  static std::vector<DWSqlWriterUsage> all();

  explicit SqlWriterCounts(const std::string& database) { usage_.database = database; }

  // A writer waited since `since`; a granted one writes next.
  void waited(Clock::time_point since, bool granted);
  void held(Clock::time_point since);
  void flushed(Clock::time_point since);
  void commitWaited(Clock::time_point since);
  DWSqlWriterUsage usage();

 private:
  static double secondsSince(Clock::time_point since);

  std::mutex mutex_;
  DWSqlWriterUsage usage_;
};

#endif  // HOST_SRC_SQLWRITERCOUNTS_H
