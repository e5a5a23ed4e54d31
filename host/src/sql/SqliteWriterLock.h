// The lock that the writers of one SQLite file in this process take, in
// arrival order, before asking SQLite for the file's write lock.  Writers of
// the same process thus wait on each other without polling; SQLite's busy
// handler is left to wait for writers of other processes.  Internal to the
// host library.
#ifndef HOST_SRC_SQLITEWRITERLOCK_H
#define HOST_SRC_SQLITEWRITERLOCK_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SqlTicketLine.h"

class SqliteWriterLock {
 public:
  // The lock of `file` (a canonical path), shared by all its handles.
  static std::shared_ptr<SqliteWriterLock> forFile(const std::string& file);

  // 0, or DWSQL_BUSY with the reason when the lock is not granted within
  // `timeoutMs` or the calling thread holds it already (through another
  // handle, which would wait for itself).
  int acquire(int timeoutMs, std::string* error);
  void release();

 private:
  std::mutex mutex_;
  SqlTicketLine line_;
  bool held_ = false;
  std::thread::id owner_;
};

#endif  // HOST_SRC_SQLITEWRITERLOCK_H
