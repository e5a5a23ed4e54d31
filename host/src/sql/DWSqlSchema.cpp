#include "host/sql/DWSqlSchema.h"

#include "host/sql/DWSimpleDBConnObject.h"

CZuError DWCreateSchema(const std::string& dbName) {
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName(dbName);
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "%s", conn.getLastErrorText().c_str());
  const char* schema = DWSchemaText(dbName, conn.backend());
  if (schema == nullptr) return FXErrorUtil::ErrorInt(FXLOC, 1, "No schema for database \"%s\"", dbName.c_str());
  if ((rc = conn.startTran()) != 0 || (rc = conn.execQuery(schema, false, false)) != 0 ||
      (rc = conn.endTran(1)) != 0)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't create the schema of database %s: %s", dbName.c_str(),
                                 conn.getLastErrorText().c_str());
  return CZuError();
}
