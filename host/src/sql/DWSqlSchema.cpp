#include "host/sql/DWSqlSchema.h"

#include <algorithm>

#include "host/base/DwClock.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

// One row per step applied, per database: "Anchor" and "HistoryDB" may share
// one PostgreSQL schema.
const char kVersionTable[] =
    "CREATE TABLE IF NOT EXISTS APP_SchemaVersion ("
    " db VARCHAR(64) NOT NULL,"
    " version INTEGER NOT NULL,"
    " name VARCHAR(128) NOT NULL,"
    " appliedAt BIGINT NOT NULL,"
    " PRIMARY KEY (db, version))";

CZuError connectionError(const FXCodeLocation& loc, DWSimpleDBConnObject& conn, int rc,
                         const std::string& what) {
  return FXErrorUtil::ErrorInt(loc, rc, "%s: %s", what.c_str(), conn.getLastErrorText().c_str());
}

// The highest version recorded for `dbName`; the table must exist.
int readVersion(DWSimpleDBConnObject& conn, const std::string& dbName, int* version) {
  const std::string query = "SELECT COALESCE(MAX(version), 0) FROM APP_SchemaVersion WHERE db=" +
                            DWSqlDialect::quote(dbName);
  int32_t found = 0;
  int rc = conn.execQuery(query.c_str());
  if (rc == 0) rc = conn.ibindstruct("i", &found);
  if (rc == 0) rc = conn.getNextRow();
  if (rc == 0) *version = found;
  return rc;
}

CZuError newerError(const std::string& dbName, int version, int known) {
  return FXErrorUtil::ErrorInt(FXLOC, 1,
                               "The database %s has schema version %d, newer than version %d of "
                               "this program: nothing was changed. Run a release that knows "
                               "version %d, or restore the backup taken before the upgrade",
                               dbName.c_str(), version, known, version);
}

CZuError checkSteps(const std::string& dbName, const std::vector<DWSchemaStep>& steps) {
  if (steps.empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "No schema for database \"%s\"", dbName.c_str());
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].version != static_cast<int>(i) + 1)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Schema step %d of %s is numbered %d", static_cast<int>(i) + 1,
                                   dbName.c_str(), steps[i].version);
  return CZuError();
}

// Rolls back the transaction of a step unless it was committed.
class StepTransaction {
 public:
  explicit StepTransaction(DWSimpleDBConnObject& conn) : conn_(conn) {}
  ~StepTransaction() {
    if (!committed_) conn_.endTran(2);
  }
  int begin() { return conn_.startTran(); }
  int commit() {
    int rc = conn_.endTran(1);
    committed_ = rc == 0;
    return rc;
  }

 private:
  DWSimpleDBConnObject& conn_;
  bool committed_ = false;
};

int runCommands(DWSimpleDBConnObject& conn, const std::string& text) {
  int rc = conn.execQuery(text.c_str());
  return rc == DWSQL_NO_ROWS ? 0 : rc;
}

// Applies `step` in a write transaction of its own when the database is
// still at the version before it; `*current` is the version found.
CZuError applyStep(DWSimpleDBConnObject& conn, const std::string& dbName, const DWSchemaStep& step,
                   int latest, int* current, bool* applied) {
  *applied = false;
  StepTransaction tran(conn);
  int rc = tran.begin();
  if (rc == 0) rc = runCommands(conn, kVersionTable);
  if (rc == 0) rc = readVersion(conn, dbName, current);
  if (rc != 0) return connectionError(FXLOC, conn, rc, "Couldn't read the schema version of " + dbName);
  if (*current > latest) return newerError(dbName, *current, latest);
  if (*current >= step.version) return CZuError();
  const std::string record = "INSERT INTO APP_SchemaVersion (db, version, name, appliedAt) VALUES (" +
                             DWSqlDialect::quote(dbName) + ", " + std::to_string(step.version) + ", " +
                             DWSqlDialect::quote(step.name) + ", " +
                             std::to_string(static_cast<long long>(DwClock::current()->now())) + ")";
  rc = runCommands(conn, step.text);
  if (rc == 0) rc = runCommands(conn, record);
  if (rc == 0) rc = tran.commit();
  if (rc != 0)
    return connectionError(FXLOC, conn, rc,
                           "Couldn't migrate " + dbName + " to schema version " +
                               std::to_string(step.version) + " (" + step.name + ")");
  *applied = true;
  return CZuError();
}

}  // namespace

int DWSchemaVersion(const std::string& dbName) {
  return static_cast<int>(DWSchemaSteps(dbName, DWSqlBackend::kSqlite).size());
}

CZuError DWMigrateSchema(const std::string& dbName, const std::vector<DWSchemaStep>& steps,
                         DWSchemaMigration* migration) {
  DWSchemaMigration done;
  CZuError err = checkSteps(dbName, steps);
  if (err.IsError()) return err;
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName(dbName);
  if (rc != 0) return connectionError(FXLOC, conn, rc, "Couldn't open " + dbName);
  const int latest = steps.back().version;
  for (const DWSchemaStep& step : steps) {
    int current = 0;
    bool applied = false;
    err = applyStep(conn, dbName, step, latest, &current, &applied);
    if (err.IsError()) break;
    if (&step == &steps.front()) done.from = current;
    done.to = applied ? step.version : std::max(done.to, current);
    if (applied) done.applied.push_back(std::to_string(step.version) + "-" + step.name);
  }
  if (migration != nullptr) *migration = done;
  return err;
}

CZuError DWCreateSchema(const std::string& dbName, DWSchemaMigration* migration) {
  std::vector<DWSchemaStep> steps;
  {
    DWSimpleDBConnObject conn;
    int rc = conn.openSQLConnectionUsingDbName(dbName);
    if (rc != 0) return connectionError(FXLOC, conn, rc, "Couldn't open " + dbName);
    steps = DWSchemaSteps(dbName, conn.backend());
  }
  return DWMigrateSchema(dbName, steps, migration);
}

CZuError DWReadSchemaVersion(const std::string& dbName, int* version) {
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName(dbName);
  if (rc != 0) return connectionError(FXLOC, conn, rc, "Couldn't open " + dbName);
  *version = 0;
  rc = readVersion(conn, dbName, version);
  // A database that never recorded a version has no table to read it from.
  if (rc == DWSQL_ERROR || rc == DWSQL_NO_ROWS) return CZuError();
  if (rc != 0) return connectionError(FXLOC, conn, rc, "Couldn't read the schema version of " + dbName);
  return CZuError();
}
