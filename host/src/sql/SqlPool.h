// Open database handles kept per database and handed to one connection
// object at a time, so that a request does not pay for opening the database,
// reading its schema and setting the session up.  A handle goes back to its
// database's shelf only when it is healthy and outside a transaction;
// otherwise it is closed.  Internal to the host library.
#ifndef HOST_SRC_SQLPOOL_H
#define HOST_SRC_SQLPOOL_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SqlBackend.h"
#include "host/sql/DWSimpleDBConnObject.h"

class SqlHandlePool;

// One handle lent to one user; gives it back when destroyed.
class SqlLease {
 public:
  struct Shelf;  // the open handles of one database

  ~SqlLease();
  SqlLease(const SqlLease&) = delete;
  SqlLease& operator=(const SqlLease&) = delete;

  SqlBackend* get() const { return handle_.get(); }

 private:
  friend class SqlHandlePool;
  SqlLease(Shelf* shelf, std::unique_ptr<SqlBackend> handle);

  Shelf* shelf_;
  std::unique_ptr<SqlBackend> handle_;
};

class SqlHandlePool {
 public:
  // The pool of this process.
  static SqlHandlePool& process();

  SqlHandlePool() = default;
  ~SqlHandlePool();
  SqlHandlePool(const SqlHandlePool&) = delete;
  SqlHandlePool& operator=(const SqlHandlePool&) = delete;

  // A handle on `where`: an idle one, a new one while the database has fewer
  // than `where.poolSize` open, else the first one given back within the
  // busy time-out.  A thread that already holds a handle of the database
  // never waits for a second one.  0, or a DWSQL_* code with the reason.
  int lease(const SqlLocation& where, std::unique_ptr<SqlLease>* out, std::string* error);

  // Closes every idle handle.  Shelves stay: a thread may be about to use one.
  void closeIdle();

  // Handles of `where`'s database open now, lent or idle (for tests and
  // benchmarks).
  int openCount(const SqlLocation& where);
  // Handles lent and idle now, per database name.
  std::vector<DWSqlHandleUsage> usage();

 private:
  SqlLease::Shelf* shelf(const SqlLocation& where);

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<SqlLease::Shelf>> shelves_;
};

#endif  // HOST_SRC_SQLPOOL_H
