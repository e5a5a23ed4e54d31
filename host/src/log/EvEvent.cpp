#include "host/log/EvEvent.h"

#include <cstdlib>
#include <memory>

#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlDialect.h"
#include "host/base/DwClock.h"
#include "host/log/EvDebug.h"

namespace {

const char kDbName[] = "Anchor";
// Read width of the arguments column; posting refuses longer argument lists.
const size_t kMaxArgumentBytes = 65535;
// Read width of the actor column (client names are far shorter).
const size_t kMaxActorBytes = 255;

// Arguments as one text: each as "<byte count>:<bytes>", so any byte survives.
std::string joinArguments(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) out += std::to_string(a.size()) + ":" + a;
  return out;
}

std::vector<std::string> splitArguments(const std::string& text) {
  std::vector<std::string> args;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t colon = text.find(':', pos);
    if (colon == std::string::npos) break;
    size_t len = std::strtoul(text.c_str() + pos, nullptr, 10);
    if (len > text.size() - colon - 1) break;
    args.push_back(text.substr(colon + 1, len));
    pos = colon + 1 + len;
  }
  return args;
}

CZuError openAnchor(DWSimpleDBConnObject* conn, const FXCodeLocation& loc) {
  int rc = conn->openSQLConnectionUsingDbName(kDbName);
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "%s", conn->getLastErrorText().c_str());
  return CZuError();
}

}  // namespace

void EvEvent::addArgument(const std::string& text, int /*type*/) { arguments_.push_back(text); }

void EvEvent::setEntity(int entityId, int entityType) {
  entityId_ = entityId;
  entityType_ = entityType;
}

CZuError EvEvent::InfoEvent(int eventId, long long, int) {
  CZuError err = post(eventId, EV_SEVERITY_INFO);
  if (err.IsError())
    EvDebug().handleMsgEventDebug(-1, "EvEvent::InfoEvent", 0, nullptr, "%s",
                                  err.AsString().c_str());
  return err;
}

CZuError EvEvent::post(int eventId, int severity) {
  const std::string args = joinArguments(arguments_);
  if (args.size() > kMaxArgumentBytes)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't post event %d: arguments exceed %zu bytes",
                                 eventId, kMaxArgumentBytes);
  if (actor_.size() > kMaxActorBytes)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't post event %d: actor exceeds %zu bytes",
                                 eventId, kMaxActorBytes);
  const std::string statement =
      "INSERT INTO APP_Event(time, eventId, severity, entityType, entityId, arguments, actor) "
      "VALUES(" +
      std::to_string(static_cast<long long>(DwClock::current()->now())) + ", " +
      std::to_string(eventId) + ", " + std::to_string(severity) + ", " +
      std::to_string(entityType_) + ", " + std::to_string(entityId_) + ", " +
      DWSqlDialect::quote(args) + ", " + DWSqlDialect::quote(actor_) + ")";
  DWSimpleDBConnObject conn;
  CZuError err = openAnchor(&conn, FXLOC);
  if (!err.IsError()) {
    int rc = conn.execQuery(statement.c_str());
    if (rc != 0) err = FXErrorUtil::ErrorInt(FXLOC, rc, "%s", conn.getLastErrorText().c_str());
  }
  if (err.IsError())
    err.Push(FXLOC, "Couldn't post event %d for entity %d/%lld", eventId, entityType_, entityId_);
  return err;
}

CZuError EvEvent::list(const Filter& filter, std::vector<EvEventRecord>* events) {
  std::string where;
  if (filter.entityType >= 0) where += " AND entityType=" + std::to_string(filter.entityType);
  if (filter.entityId >= 0) where += " AND entityId=" + std::to_string(filter.entityId);
  if (!filter.actor.empty()) where += " AND actor=" + DWSqlDialect::quote(filter.actor);
  std::string statement =
      "SELECT id, time, eventId, severity, entityType, entityId, arguments, actor FROM APP_Event";
  if (!where.empty()) statement += " WHERE" + where.substr(4);
  statement += " ORDER BY id DESC";
  if (filter.limit > 0) statement += " LIMIT " + std::to_string(filter.limit);

  events->clear();
  DWSimpleDBConnObject conn;
  CZuError err = openAnchor(&conn, FXLOC);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't list events");
  int rc = conn.execQuery(statement.c_str());
  if (rc == DWSQL_NO_ROWS) return CZuError();
  EvEventRecord row;
  int64_t seq = 0, time = 0, entityId = 0;
  std::unique_ptr<char[]> args(new char[kMaxArgumentBytes + 1]);
  char actor[kMaxActorBytes + 1];
  if (rc == 0)
    rc = conn.ibindstruct("b|b|i|i|i|b|s65535|s255", &seq, &time, &row.eventId, &row.severity,
                          &row.entityType, &entityId, args.get(), actor);
  if (rc != 0)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't list events: %s",
                                 conn.getLastErrorText().c_str());
  while (conn.getNextRow() == 0) {
    row.seq = seq;
    row.time = static_cast<time_t>(time);
    row.entityId = entityId;
    row.arguments = splitArguments(args.get());
    row.actor = actor;
    events->push_back(row);
  }
  return CZuError();
}

CZuError EvEvent::upgradeTable() {
  DWSimpleDBConnObject conn;
  CZuError err = openAnchor(&conn, FXLOC);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't upgrade the event table");
  int rc = conn.execQuery("SELECT actor FROM APP_Event WHERE 1=0");
  if (rc == 0 || rc == DWSQL_NO_ROWS) return CZuError();
  rc = conn.execQuery("ALTER TABLE APP_Event ADD COLUMN actor TEXT NOT NULL DEFAULT ''");
  if (rc != 0 && rc != DWSQL_NO_ROWS)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't upgrade the event table: %s",
                                 conn.getLastErrorText().c_str());
  return CZuError();
}
