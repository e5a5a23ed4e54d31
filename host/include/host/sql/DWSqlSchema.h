// The versioned schema of the host's databases.  A database's schema is an
// ordered list of steps, schema/<backend>/<database>/<version>-<name>.sql,
// compiled in.  Each database records the steps applied to it in the table
// APP_SchemaVersion; migrating applies the missing ones in order, each in
// one write transaction of its own, which also serialises servers that
// migrate the same database at once (the later one finds nothing to do).
// A database whose version is higher than the program's is refused and
// left untouched.
#ifndef HOST_DWSQLSCHEMA_H
#define HOST_DWSQLSCHEMA_H

#include <string>
#include <vector>

#include "host/base/CZuError.h"
#include "host/sql/DWSqlDialect.h"

struct DWSchemaStep {
  int version;  // 1, 2, ...: the version a database has once the step is applied
  std::string name;
  std::string text;  // ';'-separated SQL commands
};

// The compiled-in steps of "Anchor" or "HistoryDB" on a backend, in order;
// empty for other names.
std::vector<DWSchemaStep> DWSchemaSteps(const std::string& dbName, DWSqlBackend backend);

// The version the compiled-in steps bring `dbName` to (the same on every
// backend); 0 for an unknown name.
int DWSchemaVersion(const std::string& dbName);

// What a migration found and did.
struct DWSchemaMigration {
  int from = 0;                        // 0: a database without a recorded version
  int to = 0;
  std::vector<std::string> applied;    // "<version>-<name>" of each step applied
};

// Brings `dbName`, on the backend the registry gives for it, to the last of
// `steps` (which must be numbered 1, 2, ... in order).  Fails with code 1,
// naming both versions, when the database is newer than the steps; with the
// connection's code and text when a step fails, in which case that step left
// nothing and the database keeps the version of the steps before it.
CZuError DWMigrateSchema(const std::string& dbName, const std::vector<DWSchemaStep>& steps,
                         DWSchemaMigration* migration = nullptr);

// DWMigrateSchema with the compiled-in steps.  Safe to call repeatedly.
CZuError DWCreateSchema(const std::string& dbName, DWSchemaMigration* migration = nullptr);

// The version recorded in `dbName` (0 when none is), read without writing.
CZuError DWReadSchemaVersion(const std::string& dbName, int* version);

#endif  // HOST_DWSQLSCHEMA_H
