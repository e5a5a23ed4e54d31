// The host's SQL connection: one connection to a named database on the
// backend that the registry gives for that name (embedded SQLite or
// PostgreSQL).  The connection is a handle borrowed from the process's pool
// of open handles of that database ([Database] nPoolSize, nPoolIdleSecs) and
// given back when the object is destroyed; a handle that failed, or that is
// still inside a transaction the roll back couldn't end, is closed instead.  Statements are written in Transact-SQL; the few constructs the
// backend lacks are rewritten (host/DWSqlDialect.h), everything else is sent
// as written.
//
// Every operation returns an int: 0 for success, DWSQL_NO_ROWS where noted,
// and otherwise one of the failure codes below, the same on both backends.
// A failure is never 0 or 1.  The backend's own text of the last failure is
// kept for messages (getLastErrorText).
//
// An object opened while its thread runs a unit of work on the same
// database joins the unit's transaction (host/DWSqlUnit.h).
//
// Not thread-safe: one thread uses an object at a time.
#ifndef HOST_DWSIMPLEDBCONNOBJECT_H
#define HOST_DWSIMPLEDBCONNOBJECT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/sql/DWSqlDialect.h"

enum DWSqlResult {
  DWSQL_OK = 0,
  DWSQL_NO_ROWS = 1,        // a query that found nothing; the end of the rows
  DWSQL_ERROR = 300,        // statement rejected: syntax, unknown table or column, ...
  DWSQL_CONSTRAINT = 301,   // unique key, foreign key or NOT NULL violated
  DWSQL_BUSY = 302,         // lock not granted within the busy timeout, deadlock
  DWSQL_CONNECTION = 303,   // database can't be opened or reached; not open
  DWSQL_MISUSE = 304,       // call out of order or with bad arguments
  DWSQL_DATA = 305,         // value out of range or not valid for its type
  DWSQL_PERMISSION = 306,   // read-only database, privileges, authentication
  DWSQL_IO = 307,           // disk, memory or corruption
  DWSQL_CONFIG = 308,       // the registry does not describe the database
};

class SqlBackend;
class SqlLease;
struct SqlResult;

// Pooled handles of one database: lent to a connection object, or idle.
struct DWSqlHandleUsage {
  std::string database;
  int inUse;
  int idle;
};

// What the writers of one database of this process spent so far.  Writes go
// one at a time, under one lock: SQLite's writer of the file, PostgreSQL's
// database-wide write lock (whose wait includes the round trip, and which
// the writers of other processes take too).  On SQLite a commit is answered
// once a flush of the log covers it; PostgreSQL flushes its own.
struct DWSqlWriterUsage {
  std::string database;       // the registry name it was opened by
  uint64_t writes = 0;        // grants of the lock: writes and transactions
  double waitSecs = 0;        // writers waiting for the lock
  double heldSecs = 0;        // the lock held
  uint64_t flushes = 0;       // of the log (SQLite)
  double flushSecs = 0;       // flushing
  double commitWaitSecs = 0;  // commits waiting for a flush that covers them
};

class DWSimpleDBConnObject {
 public:
  DWSimpleDBConnObject();
  // Rolls back a transaction still open, then closes.
  virtual ~DWSimpleDBConnObject();

  DWSimpleDBConnObject(const DWSimpleDBConnObject&) = delete;
  DWSimpleDBConnObject& operator=(const DWSimpleDBConnObject&) = delete;

  // Closes the pooled handles that no object holds, of every database.
  static void closeIdleHandles();
  // The pool's handles of every database opened so far.
  static std::vector<DWSqlHandleUsage> handleUsage();
  // The writers of every database this process opened for writing.
  static std::vector<DWSqlWriterUsage> writerUsage();

  // Opens the database that the registry names `dbName` ("Anchor",
  // "HistoryDB", ...).  When this fails, every later operation fails with the
  // same code.
  int openSQLConnectionUsingDbName(std::string dbName);

  // Transactions do not nest.  endTran: 1 commits, 2 rolls back.  A commit
  // that fails leaves the transaction open when the backend still holds it,
  // so that a roll back (or the destructor) ends it.
  int startTran();
  int endTran(int how);

  // Runs every ';'-separated command of `statement` in order, as one unit:
  // a failing command undoes the commands before it.  The result is that of
  // the last command: a query gives 0 when it found rows (read them with
  // ibindstruct and getNextRow) and DWSQL_NO_ROWS when it found none; any
  // other command gives 0.  The two flags are accepted and ignored.
  int execQuery(const char* statement, bool flag1 = false, bool flag2 = false);

  // Binds the columns of the last query, in order, to the buffers that
  // follow the format: items joined by '|', one per column:
  //   i    int32_t*               b, B  int64_t*
  //   sN   char[N+1]: at most N bytes, NUL-terminated
  //   wN   wchar_t[N+1]: at most N characters, NUL-terminated
  //   uN   char[4N+1]: the UTF-8 of what wN reads (FXString::ToString of
  //        it), without the wide text
  // N is the column's width: a text of N is read whole.
  // Longer texts are cut (narrow texts not inside a UTF-8 sequence); NULL
  // reads as 0 or empty; a number too large for "i" reads as the nearest
  // int32 value.  The item count must equal the column count.
  int ibindstruct(const char* format, ...);

  // Copies the next row into the bound buffers: 0, or DWSQL_NO_ROWS after
  // the last row, or a failure code.
  int getNextRow();

  // The backend's text for the last failure ("" after a success).
  const std::string& getLastErrorText() const { return lastError_; }
  bool isOpen() const { return openCode_ == 0; }
  DWSqlBackend backend() const;
  const std::string& dbName() const { return dbName_; }

 private:
  struct Binding;

  int fail(int code, const std::string& text);
  int succeed();
  int runCommands(const std::vector<std::string>& commands);
  int runAtomically(const std::vector<std::string>& commands);
  int endJoined(int how);
  friend class DWSqlUnit;
  int startUnitTran();
  void copyCell(size_t column, const Binding& binding);

  std::unique_ptr<SqlLease> lease_;
  SqlBackend* backend_ = nullptr;  // the leased handle
  std::unique_ptr<SqlResult> result_;
  std::vector<Binding> bindings_;
  int openCode_ = DWSQL_CONNECTION;
  bool inTran_ = false;
  bool joined_ = false;  // uses the handle of a unit of work (DWSqlUnit.h)
  std::string dbName_;
  std::string lastError_;
};

#endif  // HOST_DWSIMPLEDBCONNOBJECT_H
