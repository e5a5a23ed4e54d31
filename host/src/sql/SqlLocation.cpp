// The registry's description of a database name.
#include <cctype>

#include "SqlBackend.h"
#include "host/config/DWPlatformInfo.h"
#include "host/config/DwRegistryCache.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

const char kSection[] = "Database";
const char kDefaultSqliteDir[] = "/var/lib/blr/db";

// A key of [Database.<name>], else of [Database].
class DatabaseSettings {
 public:
  explicit DatabaseSettings(const std::string& name) : own_(std::string(kSection) + "." + name) {}

  bool text(const char* key, std::string* value) const {
    return info_.getString(own_.c_str(), key, value) || info_.getString(kSection, key, value);
  }

  // False only when the key is present but not a number.
  bool number(const char* key, long long* value) const {
    for (const char* section : {own_.c_str(), kSection}) {
      std::string raw;
      if (!info_.getString(section, key, &raw)) continue;
      return info_.getNumber(section, key, value) != 0;
    }
    return true;
  }

 private:
  DWPlatformInfo info_;
  std::string own_;
};

bool validName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

int configError(const std::string& text, std::string* error) {
  *error = text;
  return DWSQL_CONFIG;
}

// The registry's answer, read key by key.
int readSqlLocation(const std::string& dbName, SqlLocation* where, std::string* error) {
  DatabaseSettings settings(dbName);
  SqlLocation loc;
  loc.name = dbName;

  std::string backend = "sqlite";
  settings.text("sBackend", &backend);
  const SqlBackendRow* row = sqlBackendNamed(backend);
  if (row == nullptr)
    return configError("Unknown sBackend \"" + backend + "\" for database " + dbName +
                           " (expected " + sqlBackendNames() + ")", error);
  loc.backend = row->kind;

  if (!settings.text("sSqliteFile", &loc.sqliteFile)) {
    std::string dir = kDefaultSqliteDir;
    settings.text("sSqliteDir", &dir);
    loc.sqliteFile = dir + "/" + dbName + ".db";
  }
  settings.text("sPostgresConnInfo", &loc.postgresConnInfo);
  settings.text("sPostgresDbName", &loc.postgresDbName);

  long long busyMs = loc.busyTimeoutMs, connectSecs = loc.connectTimeoutSecs;
  if (!settings.number("nBusyTimeoutMs", &busyMs) || busyMs < 0 || busyMs > 3600 * 1000)
    return configError("nBusyTimeoutMs for database " + dbName + " is not 0..3600000", error);
  if (!settings.number("nConnectTimeoutSecs", &connectSecs) || connectSecs < 0 || connectSecs > 3600)
    return configError("nConnectTimeoutSecs for database " + dbName + " is not 0..3600", error);
  long long poolSize = loc.poolSize, poolIdleSecs = loc.poolIdleSecs;
  if (!settings.number("nPoolSize", &poolSize) || poolSize < 1 || poolSize > 1024)
    return configError("nPoolSize for database " + dbName + " is not 1..1024", error);
  if (!settings.number("nPoolIdleSecs", &poolIdleSecs) || poolIdleSecs < 0 || poolIdleSecs > 86400)
    return configError("nPoolIdleSecs for database " + dbName + " is not 0..86400", error);
  loc.busyTimeoutMs = static_cast<int>(busyMs);
  loc.connectTimeoutSecs = static_cast<int>(connectSecs);
  loc.poolSize = static_cast<int>(poolSize);
  loc.poolIdleSecs = static_cast<int>(poolIdleSecs);
  for (const std::string* part : {&loc.sqliteFile, &loc.postgresConnInfo, &loc.postgresDbName, &loc.name})
    loc.poolKey += *part + '\n';
  for (int number : {static_cast<int>(loc.backend), loc.busyTimeoutMs, loc.connectTimeoutSecs})
    loc.poolKey += std::to_string(number) + '\n';
  *where = loc;
  return 0;
}

}  // namespace

// Every request opens its database; the registry is read again only once it
// changed (DWPlatformInfo::generation), not key by key on every open.
int resolveSqlLocation(const std::string& dbName, std::shared_ptr<const SqlLocation>* where,
                       std::string* error) {
  if (!validName(dbName)) return configError("Bad database name \"" + dbName + "\"", error);
  static auto* resolved = new DwRegistryCache<SqlLocation>;  // lives to the end
  int rc = 0;
  resolved->get(dbName, where, [&](SqlLocation* read) {
    rc = readSqlLocation(dbName, read, error);
    return rc == 0;
  });
  return rc;
}
