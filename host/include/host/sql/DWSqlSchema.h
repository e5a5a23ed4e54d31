// The tables and indexes of the host's databases, compiled in from schema/.
#ifndef HOST_DWSQLSCHEMA_H
#define HOST_DWSQLSCHEMA_H

#include <string>

#include "host/base/CZuError.h"
#include "host/sql/DWSqlDialect.h"

// The schema of "Anchor" or "HistoryDB" for a backend; null for other names.
const char* DWSchemaText(const std::string& dbName, DWSqlBackend backend);

// Creates what is missing of the schema of `dbName` on the backend the
// registry gives for it, in one transaction.  Safe to call repeatedly.
// Fails with the connection's code and text.
CZuError DWCreateSchema(const std::string& dbName);

#endif  // HOST_DWSQLSCHEMA_H
