// The service frame: the connection class, dispatch by request name, and the
// helpers every handler family uses.
#include "BLR/BlrDBSvc.h"

#include "BLR/BlrDebug.h"
#include "BlrDBRequests.h"
#include "BlrDBSvcInternal.h"
#include "host/DWSqlDialect.h"
#include "host/DwClock.h"
#include "host/EvEvent.h"

namespace blrdbsvc {

const char* const ANCHOR_DB = "Anchor";
const char* const HISTORY_DB = "HistoryDB";

std::string i2s(int value) { return std::to_string(value); }

std::string ll2s(unsigned long value) {
  return std::to_string(static_cast<long long>(value));
}

std::string sqlText(const std::string& text) { return DWSqlDialect::quote(text); }

CZuError exec(BlrSQL& sql, const std::string& statement, Accept accept, const FXCodeLocation& loc,
              int* result) {
  int rc = sql.execQuery(statement.c_str(), false, false);
  if (rc == 0 || (rc == DWSQL_NO_ROWS && accept == Accept::kOkOrNoRows)) {
    if (result) *result = rc;
    return CZuError();
  }
  return FXErrorUtil::ErrorInt(loc, rc, "Query [%s] failed", statement.c_str());
}

CZuError begin(BlrSQL& sql, const FXCodeLocation& loc) {
  int rc = sql.startTran();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't start transaction");
  return CZuError();
}

CZuError commit(BlrSQL& sql, const FXCodeLocation& loc) {
  int rc = sql.commitTran();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't commit DB transaction");
  return CZuError();
}

CZuError readIdentity(BlrSQL& sql, const char* table, int32_t* id, const FXCodeLocation& loc) {
  int rc = sql.ibindstruct("i", id);
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't bind ID of inserted %s", table);
  rc = sql.getNextRow();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't get ID of inserted %s", table);
  return CZuError();
}

int64_t nowSecs() { return static_cast<int64_t>(DwClock::current()->now()); }

}  // namespace blrdbsvc

// ---- BlrSQL ----

BlrSQL::BlrSQL(const char* name) : inTran(false), dbName(name) {
  int rc = openSQLConnectionUsingDbName(dbName);
  if (rc != 0) blrError("BlrSQL", "Couldn't open connection to %s Database: rc=%d", dbName, rc);
}

BlrSQL::~BlrSQL() {
  if (inTran) endTran(2);
}

int BlrSQL::startTran() {
  int rc = DWSimpleDBConnObject::startTran();
  if (rc == 0) inTran = true;
  return rc;
}

int BlrSQL::commitTran() {
  int rc = endTran(1);
  if (rc == 0) inTran = false;
  return rc;
}

// ---- BlrDBSvc ----

namespace {

using Handler = CZuError (*)(const BlrDBSvc::Map&, BlrDBSvc::Map*, const KRP_Cert&);

struct Route {
  const char* name;
  Handler handler;
};

// Requests that change the database and leave a trace of who sent them.
// Status changes leave their own event; statistics and lag times are
// measurements, sent every few seconds, and would drown the trail.
const char* const kAudited[] = {
    blrdb_req::kDelPairs,        blrdb_req::kCreateOrUpdatePair,    blrdb_req::kUpdateDestInfo,
    blrdb_req::kUpdateSrcPaths,  blrdb_req::kSetPairEvent,          blrdb_req::kSetPairPendingStatus,
    blrdb_req::kSetDiskStatus,   blrdb_req::kSetPairFlags,          blrdb_req::kClrPairFlags,
    blrdb_req::kSetPairProps,    blrdb_req::kSetPairProp,           blrdb_req::kDelPairProp,
    blrdb_req::kCreateOrUpdateBootVm, blrdb_req::kDelBootVm,
};

bool audited(const std::string& name) {
  for (const char* a : kAudited)
    if (name == a) return true;
  return false;
}

// The pair a request or its answer names, or 0 for requests that name
// none or several.
long long pairOf(const BlrDBSvc::Map& req, const BlrDBSvc::Map& resp, const std::string& name) {
  const BlrDBSvc::Map* carrier = nullptr;
  if (name == blrdb_req::kCreateOrUpdatePair) carrier = &resp;  // the id is the server's
  if (name == blrdb_req::kUpdateDestInfo || name == blrdb_req::kUpdateSrcPaths ||
      name == blrdb_req::kSetPairEvent)
    carrier = &req;
  BlrDB::Pair pair;
  if (carrier == nullptr || blrdbsvc::decodePayload(*carrier, &pair, "", FXLOC).IsError()) return 0;
  return pair.id;
}

void postAudit(const BlrDBSvc::Map& req, const BlrDBSvc::Map& resp, const std::string& name,
               const std::string& from) {
  EvEvent event;
  event.addArgument(name, EV_ARG_TEXT);
  event.setEntity(static_cast<int>(pairOf(req, resp, name)), blrdbsvc::kPairEntityType);
  event.setActor(from);
  event.InfoEvent(blrdbsvc::kRequestEventId, 0, 0);
}

// Counts the pieces handed on.
class CountingReply : public DwLinkReply {
 public:
  explicit CountingReply(DwLinkReply* reply) : reply_(reply) {}
  CZuError append(const std::string& key, std::string piece) override {
    ++pieces;
    return reply_->append(key, std::move(piece));
  }
  int pieces = 0;

 private:
  DwLinkReply* reply_;
};

const Route kRoutes[] = {
    {blrdb_req::kGetPairs, &BlrDBSvc::getPairsHnd},
    {blrdb_req::kDelPairs, &BlrDBSvc::delPairsHnd},
    {blrdb_req::kCreateOrUpdatePair, &BlrDBSvc::createOrUpdatePairHnd},
    {blrdb_req::kCreatePairs, &BlrDBSvc::createPairsHnd},
    {blrdb_req::kUpdateDestInfo, &BlrDBSvc::updateDestInfoHnd},
    {blrdb_req::kUpdateSrcPaths, &BlrDBSvc::updateSrcPathsHnd},
    {blrdb_req::kSetPairEvent, &BlrDBSvc::setPairEventHnd},
    {blrdb_req::kSetPairStatus, &BlrDBSvc::setPairStatusHnd},
    {blrdb_req::kSetPairPendingStatus, &BlrDBSvc::setPairPendingStatusHnd},
    {blrdb_req::kSetDiskStatus, &BlrDBSvc::setDiskStatusHnd},
    {blrdb_req::kSetPairFlags, &BlrDBSvc::setPairFlagsHnd},
    {blrdb_req::kClrPairFlags, &BlrDBSvc::clrPairFlagsHnd},
    {blrdb_req::kSetPairLagTime, &BlrDBSvc::setPairLagTimeHnd},
    {blrdb_req::kAddPairStats, &BlrDBSvc::addPairStatsHnd},
    {blrdb_req::kSetPairProps, &BlrDBSvc::setPairPropsHnd},
    {blrdb_req::kGetPairProps, &BlrDBSvc::getPairPropsHnd},
    {blrdb_req::kSetPairProp, &BlrDBSvc::setPairPropHnd},
    {blrdb_req::kGetPairProp, &BlrDBSvc::getPairPropHnd},
    {blrdb_req::kDelPairProp, &BlrDBSvc::delPairPropHnd},
    {blrdb_req::kCreateOrUpdateBootVm, &BlrDBSvc::createOrUpdateBootVMHnd},
    {blrdb_req::kGetBootVm, &BlrDBSvc::getBootVMHnd},
    {blrdb_req::kGetBootVmsForPair, &BlrDBSvc::getBootVMsForPairHnd},
    {blrdb_req::kGetBootVmsForTail, &BlrDBSvc::getBootVMsForTailHnd},
    {blrdb_req::kDelBootVm, &BlrDBSvc::delBootVMHnd},
    {blrdb_req::kCreatePlan, &BlrDBSvc::createPlanHnd},
    {blrdb_req::kGetPlans, &BlrDBSvc::getPlansHnd},
    {blrdb_req::kDelPlan, &BlrDBSvc::delPlanHnd},
    {blrdb_req::kCreatePlanRun, &BlrDBSvc::createPlanRunHnd},
    {blrdb_req::kSetPlanRunPair, &BlrDBSvc::setPlanRunPairHnd},
    {blrdb_req::kFinishPlanRun, &BlrDBSvc::finishPlanRunHnd},
    {blrdb_req::kGetPlanRuns, &BlrDBSvc::getPlanRunsHnd},
};

}  // namespace

BlrDBSvc::BlrDBSvc() : DwLinkSvc("BLR") { acceptsRemote = true; }

CZuError BlrDBSvc::dispatch(const Map& req, Map* resp, const std::string& from,
                            const KRP_Cert& cert) {
  auto it = req.find("req");
  if (it == req.end())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't find request type in received request map");
  const std::string& name = it->second;
  blrDebug("BlrDBSvc::dispatch", 2, "Got \"%s\" request from %s", name.c_str(), from.c_str());
  for (const Route& route : kRoutes) {
    if (name != route.name) continue;
    const char* db = blrdb_req::changedDatabase(name);
    if (db == nullptr)
      return blrdbsvc::runRead(
          resp, [&](Map* answer) { return route.handler(req, answer, cert); }, [] { return true; });
    // The audit event joins the change's transaction.
    return blrdbsvc::runChange(db, name, req, resp, [&](Map* answer) {
      CZuError err = route.handler(req, answer, cert);
      if (!err.IsError() && audited(name)) postAudit(req, *answer, name, from);
      return err;
    });
  }
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown request \"%s\"", name.c_str());
}

CZuError BlrDBSvc::dispatchPieces(const Map& req, Map* resp, DwLinkReply* reply,
                                  const std::string& from, const KRP_Cert& cert) {
  auto it = req.find("req");
  const std::string name = it == req.end() ? std::string() : it->second;
  bool pairs = name == blrdb_req::kGetPairs;
  if (!pairs && name != blrdb_req::kGetBootVmsForPair && name != blrdb_req::kGetBootVmsForTail)
    return dispatch(req, resp, from, cert);
  blrDebug("BlrDBSvc::dispatch", 2, "Got \"%s\" request from %s", name.c_str(), from.c_str());
  // Read again after a lost database connection only while no piece has left.
  CountingReply counted(reply);
  return blrdbsvc::runRead(
      resp,
      [&](Map*) { return pairs ? getPairsPiecesHnd(req, &counted) : getBootVMsPiecesHnd(req, &counted); },
      [&] { return counted.pieces == 0; });
}

void initBlrDBSvc() { new BlrDBSvc(); }
