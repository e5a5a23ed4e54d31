// A unit of work: one transaction on one database that every connection
// object the calling thread opens on that database while the unit lives
// joins, so that the steps of a request made through separate objects (and
// a record of its answer) commit or roll back together.  In a joined object
// startTran and endTran become a savepoint and its release or roll back;
// its statements run in the unit's transaction.
//
// The unit begins without the database's write lock (on SQLite the file's
// lock is taken anyway); a joined startTran takes it, so that the steps that
// read before they write are serialised as before, also across processes,
// while single statements only wait for the rows they change.
//
// One unit per thread at a time; joined objects must not outlive it.
#ifndef HOST_DWSQLUNIT_H
#define HOST_DWSQLUNIT_H

#include <string>

#include "host/sql/DWSimpleDBConnObject.h"

class DWSqlUnit {
 public:
  DWSqlUnit() = default;
  // Rolls the transaction back unless it was committed.
  ~DWSqlUnit();
  DWSqlUnit(const DWSqlUnit&) = delete;
  DWSqlUnit& operator=(const DWSqlUnit&) = delete;

  // Opens `dbName` and begins the transaction.  0 or a DWSQL_* code, the
  // text in lastError.
  int begin(const std::string& dbName);
  // Commits; afterwards the unit is no longer joined.  A commit that fails
  // with DWSQL_CONNECTION may or may not have been applied.
  int commit();

  const std::string& lastError() const { return conn_.getLastErrorText(); }
  DWSimpleDBConnObject& conn() { return conn_; }

  // The object of the unit the calling thread runs on `dbName`, or null.
  static DWSimpleDBConnObject* joinable(const std::string& dbName);

 private:
  void leave();

  DWSimpleDBConnObject conn_;
  bool active_ = false;
};

#endif  // HOST_DWSQLUNIT_H
