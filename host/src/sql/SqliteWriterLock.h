// The writers of one SQLite file in this process.  They take this lock, in
// arrival order, before asking SQLite for the file's write lock, so that they
// wait on each other without polling; SQLite's busy handler is left to wait
// for writers of other processes.
//
// Their commits are made durable together: SQLite writes a commit to the
// write-ahead log without flushing it (synchronous=NORMAL), and each writer,
// once it has let the next one in, waits in syncWritten() until one flush of
// the log covers its commit.  One flush thus serves every commit made while
// the previous one ran, and no commit is answered before it is on disk.
//
// The lock also keeps the connection its holders write on (session()), so
// that a writer finds the file's pages cached: a connection's cache is
// emptied by every commit made through another one.
//
// What its writers spend is counted under the database's name
// (SqlWriterCounts.h).
// Internal to the host library.
#ifndef HOST_SRC_SQLITEWRITERLOCK_H
#define HOST_SRC_SQLITEWRITERLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SqlTicketLine.h"
#include "SqlWriterCounts.h"

class SqliteSession;

class SqliteWriterLock {
 public:
  ~SqliteWriterLock();

  // The lock of `file` (a canonical path), shared by all its handles; its
  // writers are counted under `database` (the first name given), else the
  // file's path.
  static std::shared_ptr<SqliteWriterLock> forFile(const std::string& file, const std::string& database = "");

  // 0, or DWSQL_BUSY with the reason when the lock is not granted within
  // `timeoutMs` or the calling thread holds it already (through another
  // handle, which would wait for itself).
  int acquire(int timeoutMs, std::string* error);
  // Lets the next writer in; returns what syncWritten() must cover for the
  // holder's commit.
  uint64_t release();
  // The same for a commit made without the lock (a transaction begun by a
  // bare BEGIN).
  uint64_t committed();
  // Waits until the log is flushed past `written` (from release() or
  // committed()), flushing it when no other writer is: 0, or DWSQL_IO.
  int syncWritten(uint64_t written, std::string* error);
  // Flushes of the log made so far (tests).
  uint64_t flushes();
  // The writers' connection: null until a holder opens one.  Only the
  // holder of the lock may use it, replace it or drop it.
  std::unique_ptr<SqliteSession>& session() { return session_; }

 private:
  using Clock = std::chrono::steady_clock;

  SqliteWriterLock(const std::string& file, const std::string& database);

  const std::string log_;  // the write-ahead log
  std::mutex mutex_;
  SqlTicketLine line_;
  bool held_ = false;
  std::thread::id owner_;
  Clock::time_point heldSince_;
  const std::shared_ptr<SqlWriterCounts> counts_;
  uint64_t written_ = 0;  // commits (or releases) so far
  uint64_t synced_ = 0;   // of those, the ones on disk
  bool syncing_ = false;
  uint64_t flushes_ = 0;
  std::condition_variable syncEnded_;
  std::unique_ptr<SqliteSession> session_;
};

#endif  // HOST_SRC_SQLITEWRITERLOCK_H
