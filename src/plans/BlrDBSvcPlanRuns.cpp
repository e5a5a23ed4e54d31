// Run records: one row per run of a workflow on a plan's pairs or on one
// pair, and one per pair of it.  A live run (queued or running) holds its
// pairs in BlrRunHold, whose key lets no two live runs share a pair.  Runners
// claim runs under leases they renew; a lease that runs out lets another
// runner take the run over.  Runs keep the plan's name, so that they outlive
// the plan for the report.
#include <memory>
#include <vector>

#include "BLR/BlrDBSvc.h"
#include "BLR/BlrPlanDB.h"
#include "service/BlrDBSvcInternal.h"
#include "plans/BlrPlanFields.h"
#include "records/BlrDBTags.h"
#include "records/BlrRecordColumns.h"

using namespace blrdbsvc;

namespace {

using Run = BlrPlanDB::Run;
using RunPair = BlrPlanDB::RunPair;

// How many runs a list gives when the request sets no limit, and at most.
constexpr int kDefaultListLimit = 100;
constexpr int kMaxListLimit = 10000;

std::string u2s(uint64_t value) { return std::to_string(static_cast<long long>(value)); }

CZuError refuse(const FXCodeLocation& loc, const char* field, const std::string& why) {
  return FXErrorUtil::ErrorInt(loc, 1, "%s: %s", field, why.c_str());
}

// The id of the first row of a one-column query, 0 without rows.
CZuError lookupId(BlrSQL& sql, const std::string& statement, int32_t* id) {
  *id = 0;
  return readRows(
      sql, statement, [&] { return sql.ibindstruct("i", id); }, [] {}, FXLOC);
}

using blr_fields::RecordColumns;

// A run's columns in the order of its table of fields; its user is stored as
// userName, its host as hostName.
const char kRunColumns[] =
    "SELECT id, planId, planName, workflow, userName, startTime, endTime, state, pairId, options, "
    "actor, hostName, runner, leaseUntil, stopRequested FROM BlrPlanRun ";

CZuError readRuns(BlrSQL& sql, const std::string& where, std::list<Run>* runs) {
  RecordColumns<Run> row;
  return readRows(
      sql, kRunColumns + where, [&] { return row.bind(sql); },
      [&] { row.fill(&runs->emplace_back()); }, FXLOC);
}

CZuError readRunPairs(BlrSQL& sql, Run* run) {
  // The texts are large, so the row lives on the heap.
  std::unique_ptr<RecordColumns<RunPair>> row(new RecordColumns<RunPair>());
  return readRows(
      sql,
      "SELECT " + blr_fields::columnNames<RunPair>("BlrPlanRunPair") +
          " FROM BlrPlanRunPair WHERE runId=" + i2s(run->id) +
          " ORDER BY groupNo, startTime, pairId",
      [&] { return row->bind(sql); }, [&] { row->fill(&run->pairs.emplace_back()); }, FXLOC);
}

// Run `runId`, which must exist; with its pairs when `withPairs`.
CZuError readRun(BlrSQL& sql, int32_t runId, bool withPairs, Run* run) {
  std::list<Run> runs;
  CZuError err = readRuns(sql, "WHERE id=" + i2s(runId), &runs);
  if (!err.IsError() && runs.empty()) err = refuse(FXLOC, "run", "no run " + i2s(runId));
  if (err.IsError()) return err;
  *run = std::move(runs.front());
  return withPairs ? readRunPairs(sql, run) : CZuError();
}

CZuError checkRunPair(const RunPair& p) {
  if (p.pairId < 1) return refuse(FXLOC, "pair", "must be a pair ID");
  return BlrPlanDB::checkTexts(p);
}

// The top level of a run request's body beside a run record: the run id,
// a state, a plan name, a runner and its lease, a limit, and run pairs.
struct RunBody {
  int32_t runId = 0;
  std::string state;
  std::string planName;
  std::string runner;
  std::string goneRunner;
  std::string runnerClass;
  int32_t leaseSecs = 0;
  int32_t limit = 0;
  std::list<RunPair> pairs;

  // Every element must read, and a text must fit its column.
  CZuError parse(const BlrDBSvc::Map& req) {
    std::vector<char> bytes;
    CZuError err = blrReadBlob(req, &bytes);
    if (err.IsError()) return err;
    const int word = static_cast<int>(BlrPlanDB::kMaxWordBytes);
    return forEachElementWholly(bytes.data(), bytes.size(), [&](DwEbmlParser& p, int tag, int len) {
      switch (tag) {
        case BLRDB_TAG_ID: return p.getNumPayload(len, &runId);
        case BLRDB_TAG_STATE: return readText(p, len, "state", word, &state);
        case BLRDB_TAG_NAME:
          return readText(p, len, "plan name", static_cast<int>(BlrPlanDB::kMaxNameBytes), &planName);
        case BLRDB_TAG_RUNNER: return readText(p, len, "runner", word, &runner);
        case BLRDB_TAG_GONE_RUNNER: return readText(p, len, "gone runner", word, &goneRunner);
        case BLRDB_TAG_RUNNER_CLASS: return readText(p, len, "runner class", word, &runnerClass);
        case BLRDB_TAG_LEASE_SECS: return p.getNumPayload(len, &leaseSecs);
        case BLRDB_TAG_LIMIT: return p.getNumPayload(len, &limit);
        case BLRDB_TAG_PLAN_RUN_PAIR:
          pairs.emplace_back();
          return blr_fields::decodeWholly(p.getPos(), len, pairs.back());
        default: return CZuError();
      }
    });
  }

  CZuError checkLease() const {
    if (runner.empty()) return refuse(FXLOC, "runner", "must be given");
    if (leaseSecs < 1 || leaseSecs > BlrPlanDB::kMaxLeaseSecs)
      return refuse(FXLOC, "lease", "must be 1 to " + i2s(BlrPlanDB::kMaxLeaseSecs) + " seconds");
    return CZuError();
  }
};

bool endedState(const std::string& state) {
  return state == BlrPlanDB::kDone || state == BlrPlanDB::kFailed ||
         state == BlrPlanDB::kStopped || state == BlrPlanDB::kInterrupted;
}

// "test of plan "site b", started by alice" or "failover of pair 12, ...".
std::string describe(const Run& run) {
  std::string what = run.workflow + " of " +
                     (run.planName.empty() ? "pair " + i2s(run.pairId)
                                           : "plan \"" + run.planName + "\"");
  const std::string& who = run.actor.empty() ? run.user : run.actor;
  return who.empty() ? what : what + ", started by " + who;
}

// The pair ids run `run` touches, as a query of one column, pairId.
std::string pairsOf(const Run& run) {
  if (run.planId == 0) return "SELECT " + i2s(run.pairId) + " AS pairId";
  return "SELECT pairId FROM BlrPlanPair WHERE planId=" + i2s(run.planId);
}

CZuError countRows(BlrSQL& sql, const std::string& query, int32_t* count) {
  return lookupId(sql, "SELECT COUNT(*) FROM (" + query + ") AS counted", count);
}

// Holds every pair of `run` for it.  The key of BlrRunHold decides: a pair
// another live run holds stays its, and the refusal names that run.
CZuError holdPairs(BlrSQL& sql, const Run& run) {
  CZuError err = exec(sql,
                      "INSERT INTO BlrRunHold(pairId, runId) SELECT pairId, " + i2s(run.id) +
                          " FROM (" + pairsOf(run) + ") AS wanted WHERE pairId > 0 "
                          "ON CONFLICT(pairId) DO NOTHING",
                      Accept::kOkOrNoRows, FXLOC);
  int32_t wanted = 0, held = 0;
  if (!err.IsError()) err = countRows(sql, pairsOf(run), &wanted);
  if (!err.IsError())
    err = countRows(sql, "SELECT pairId FROM BlrRunHold WHERE runId=" + i2s(run.id), &held);
  if (err.IsError() || held == wanted) return err;
  int32_t pairId = 0, holder = 0;
  err = readRows(
      sql,
      "SELECT pairId, runId FROM BlrRunHold WHERE runId<>" + i2s(run.id) + " AND pairId IN (" +
          pairsOf(run) + ") ORDER BY pairId LIMIT 1",
      [&] { return sql.ibindstruct("i|i", &pairId, &holder); }, [] {}, FXLOC);
  Run other;
  if (!err.IsError()) err = readRun(sql, holder, false, &other);
  if (err.IsError()) return err;
  return FXErrorUtil::ErrorInt(FXLOC, 1, "pair %d is held by run %d (%s)", pairId, holder,
                               describe(other).c_str());
}

CZuError releasePairs(BlrSQL& sql, int32_t runId) {
  return exec(sql, "DELETE FROM BlrRunHold WHERE runId=" + i2s(runId), Accept::kOkOrNoRows, FXLOC);
}

// Refuses `runner` unless it holds run `run`, which must be running.
CZuError requireHolder(const Run& run, const std::string& runner) {
  if (run.state == BlrPlanDB::kRunning && run.runner == runner) return CZuError();
  std::string now = run.state != BlrPlanDB::kRunning ? "it is " + run.state
                                                      : "runner " + run.runner + " holds it";
  return FXErrorUtil::ErrorInt(FXLOC, 1, "run %d is no longer held by runner %s: %s",
                               run.id, runner.c_str(), now.c_str());
}

// The plan of a plan run must still exist; its id is set again.
CZuError findPlan(BlrSQL& sql, Run* run) {
  CZuError err =
      lookupId(sql, "SELECT id FROM BlrPlan WHERE name=" + sqlText(run->planName), &run->planId);
  if (!err.IsError() && run->planId == 0)
    err = refuse(FXLOC, "plan", "no plan \"" + run->planName + "\"");
  return err;
}

CZuError answerRun(BlrSQL& sql, int32_t runId, bool withPairs, BlrDBSvc::Map* resp) {
  Run run;
  CZuError err = readRun(sql, runId, withPairs, &run);
  if (!err.IsError()) blrSetBlob(*resp, BlrPlanDB::encodeRuns({run}));
  return err;
}

// Runs `change` in a transaction on run `runId`, which must exist; `change`
// gets the run as stored.
template <class Change>
CZuError changeRun(int32_t runId, Change change) {
  BlrSQL sql(ANCHOR_DB);
  Run run;
  CZuError err = begin(sql, FXLOC);
  if (!err.IsError()) err = readRun(sql, runId, false, &run);
  if (!err.IsError()) err = change(sql, run);
  if (!err.IsError()) err = commit(sql, FXLOC);
  return err;
}

std::string leaseEnd(int32_t leaseSecs) { return std::to_string(nowSecs() + leaseSecs); }

}  // namespace

CZuError BlrDBSvc::createPlanRunHnd(const Map& req, Map* resp, const KRP_Cert& cert) {
  Run run;
  RunBody body;
  CZuError err = decodePayload(req, &run, "Couldn't parse createPlanRun() request", FXLOC);
  if (!err.IsError()) err = body.parse(req);
  if (!err.IsError()) err = BlrPlanDB::checkTexts(run);
  if (!err.IsError() && !body.runner.empty()) err = body.checkLease();
  if (!err.IsError() && run.planName.empty() && run.pairId < 1)
    err = refuse(FXLOC, "run", "a plan name or a pair ID expected");
  if (err.IsError()) return err;
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  if (!err.IsError() && !run.planName.empty()) {
    run.pairId = 0;
    err = findPlan(sql, &run);
  } else {
    run.planId = 0;
  }
  const bool held = !body.runner.empty();
  run.state = held ? BlrPlanDB::kRunning : BlrPlanDB::kQueued;
  if (!err.IsError())
    err = exec(sql,
               "INSERT INTO BlrPlanRun(planId, planName, workflow, userName, startTime, endTime, "
               "state, pairId, options, actor, hostName, runner, leaseUntil, stopRequested) "
               "VALUES(" +
                   i2s(run.planId) + ", " + sqlText(run.planName) + ", " + sqlText(run.workflow) +
                   ", " + sqlText(run.user) + ", " + std::to_string(nowSecs()) + ", 0, " +
                   sqlText(run.state) + ", " + i2s(run.pairId) + ", " + sqlText(run.options) +
                   ", " + sqlText(cert.clientName.substr(0, BlrPlanDB::kMaxNameBytes)) + ", " +
                   sqlText(run.host) + ", " + sqlText(body.runner) + ", " +
                   (held ? leaseEnd(body.leaseSecs) : "0") + ", 0); SELECT SCOPE_IDENTITY()",
               Accept::kOk, FXLOC);
  if (!err.IsError()) err = readIdentity(sql, "BlrPlanRun", &run.id, FXLOC);
  if (!err.IsError()) err = holdPairs(sql, run);
  if (!err.IsError()) err = answerRun(sql, run.id, false, resp);
  if (!err.IsError()) err = commit(sql, FXLOC);
  return err;
}

CZuError BlrDBSvc::setPlanRunPairHnd(const Map& req, Map*, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse setPlanRunPair() request");
  if (body.pairs.size() != 1) return refuse(FXLOC, "pair", "one pair expected");
  const RunPair& p = body.pairs.front();
  err = checkRunPair(p);
  if (err.IsError()) return err;
  return changeRun(body.runId, [&](BlrSQL& sql, const Run& run) {
    CZuError e = body.runner.empty() ? CZuError() : requireHolder(run, body.runner);
    if (!e.IsError())
      e = exec(sql,
               "DELETE FROM BlrPlanRunPair WHERE runId=" + i2s(body.runId) +
                   " AND pairId=" + i2s(p.pairId),
               Accept::kOkOrNoRows, FXLOC);
    if (e.IsError()) return e;
    return exec(sql,
                "INSERT INTO BlrPlanRunPair(runId, pairId, groupNo, outcome, startTime, endTime, "
                "seqNum, lagAtStart, exitCode, error, steps) VALUES(" +
                    i2s(body.runId) + ", " + i2s(p.pairId) + ", " + i2s(p.groupNo) + ", " +
                    sqlText(p.outcome) + ", " + u2s(p.startTime) + ", " + u2s(p.endTime) + ", " +
                    u2s(p.seqNum) + ", " + i2s(p.lagAtStart) + ", " + i2s(p.exitCode) + ", " +
                    sqlText(p.error) + ", " + sqlText(p.steps) + ")",
                Accept::kOk, FXLOC);
  });
}

CZuError BlrDBSvc::finishPlanRunHnd(const Map& req, Map*, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse finishPlanRun() request");
  err = BlrPlanDB::checkState(body.state);
  if (!err.IsError() && !endedState(body.state))
    err = refuse(FXLOC, "state", "\"" + body.state + "\" does not end a run");
  if (err.IsError()) return err;
  return changeRun(body.runId, [&](BlrSQL& sql, const Run& run) {
    CZuError e;
    if (!body.runner.empty()) {
      e = requireHolder(run, body.runner);
    } else if (!run.live()) {
      e = refuse(FXLOC, "run", "run " + i2s(run.id) + " has already ended (" + run.state + ")");
    }
    if (!e.IsError())
      e = exec(sql,
               "UPDATE BlrPlanRun SET state=" + sqlText(body.state) +
                   ", endTime=" + std::to_string(nowSecs()) +
                   ", leaseUntil=0 WHERE id=" + i2s(body.runId),
               Accept::kOk, FXLOC);
    if (!e.IsError()) e = releasePairs(sql, run.id);
    return e;
  });
}

// By run id: that run with its pairs.  Otherwise runs newest first, of the
// plan and in the state the body names, if it names them.
CZuError BlrDBSvc::getPlanRunsHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse getPlanRuns() request");
  if (body.limit < 0 || body.limit > kMaxListLimit)
    return refuse(FXLOC, "limit", "must be 1 to " + i2s(kMaxListLimit));
  BlrSQL sql(ANCHOR_DB);
  std::list<Run> runs;
  if (body.runId != 0) {
    err = readRuns(sql, "WHERE id=" + i2s(body.runId), &runs);
    if (!err.IsError() && !runs.empty()) err = readRunPairs(sql, &runs.front());
  } else {
    std::string where = "WHERE 1=1";
    if (!body.planName.empty()) where += " AND planName=" + sqlText(body.planName);
    if (!body.state.empty()) where += " AND state=" + sqlText(body.state);
    const int limit = body.limit > 0 ? body.limit : kDefaultListLimit;
    err = readRuns(sql, where + " ORDER BY id DESC LIMIT " + i2s(limit), &runs);
  }
  if (err.IsError()) return err.Push(FXLOC, "Couldn't query BlrPlanRuns");
  blrSetBlob(*resp, BlrPlanDB::encodeRuns(runs));
  return CZuError();
}

namespace {

// Why run `run`, which a runner asked for by its id, can't be claimed.
CZuError unclaimable(const Run& run) {
  if (!run.live())
    return refuse(FXLOC, "run", "run " + i2s(run.id) + " has ended (" + run.state + ")");
  const long long left = static_cast<long long>(run.leaseUntil) - nowSecs();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "run %d is running: runner %s holds it for %lld s more",
                               run.id, run.runner.c_str(), left);
}

// Puts run `runId` under `body`'s runner and lease; the answer is the run
// with its pairs so far.
CZuError takeRun(BlrSQL& sql, int32_t runId, const RunBody& body, BlrDBSvc::Map* resp) {
  CZuError err = exec(sql,
                      "UPDATE BlrPlanRun SET state=" + sqlText(BlrPlanDB::kRunning) +
                          ", runner=" + sqlText(body.runner) + ", leaseUntil=" +
                          leaseEnd(body.leaseSecs) + " WHERE id=" + i2s(runId),
                      Accept::kOk, FXLOC);
  return err.IsError() ? err : answerRun(sql, runId, true, resp);
}

}  // namespace

// The oldest queued run (or the one the body names), or a running one whose
// lease ran out or ends further ahead than any lease may (a clock that
// jumped), or whose runner the claimant knows to be gone.  With a runner
// class, only runs of runners whose names begin with it are taken over.
// PostgreSQL skips the runs another runner is claiming at this moment;
// SQLite has one writer.
CZuError BlrDBSvc::claimRunHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (!err.IsError()) err = body.checkLease();
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse claimRun() request");
  BlrSQL sql(ANCHOR_DB);
  const int64_t now = nowSecs();
  std::string query =
      "SELECT id FROM BlrPlanRun WHERE " + (body.runId != 0 ? "id=" + i2s(body.runId) + " AND " : "") +
      "(state=" + sqlText(BlrPlanDB::kQueued) + " OR (state=" + sqlText(BlrPlanDB::kRunning) +
      (body.runnerClass.empty() ? std::string()
                                : " AND substr(runner, 1, " + i2s(static_cast<int>(body.runnerClass.size())) +
                                      ")=" + sqlText(body.runnerClass)) +
      " AND (leaseUntil<" + std::to_string(now) + " OR leaseUntil>" +
      std::to_string(now + BlrPlanDB::kMaxLeaseSecs) +
      (body.runId != 0 && !body.goneRunner.empty() ? " OR runner=" + sqlText(body.goneRunner) : "") +
      "))) ORDER BY id LIMIT 1";
  if (sql.backend() == DWSqlBackend::kPostgres) query += " FOR UPDATE SKIP LOCKED";
  int32_t runId = 0;
  err = begin(sql, FXLOC);
  if (!err.IsError()) err = lookupId(sql, query, &runId);
  if (!err.IsError() && runId == 0 && body.runId != 0) {
    Run run;
    err = readRun(sql, body.runId, false, &run);
    if (!err.IsError()) err = unclaimable(run);
  }
  if (!err.IsError() && runId != 0) err = takeRun(sql, runId, body, resp);
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (!err.IsError() && runId == 0) blrSetBlob(*resp, BlrPlanDB::encodeRuns({}));
  return err;
}

CZuError BlrDBSvc::renewRunLeaseHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (!err.IsError()) err = body.checkLease();
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse renewRunLease() request");
  return changeRun(body.runId, [&](BlrSQL& sql, const Run& run) {
    // A runner that lost its run learns it from the record in the answer.
    CZuError e;
    if (!requireHolder(run, body.runner).IsError())
      e = exec(sql,
               "UPDATE BlrPlanRun SET leaseUntil=" + leaseEnd(body.leaseSecs) +
                   " WHERE id=" + i2s(run.id),
               Accept::kOk, FXLOC);
    if (!e.IsError()) e = answerRun(sql, run.id, false, resp);
    return e;
  });
}

CZuError BlrDBSvc::stopRunHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse stopRun() request");
  return changeRun(body.runId, [&](BlrSQL& sql, const Run& run) {
    if (!run.live())
      return refuse(FXLOC, "run", "run " + i2s(run.id) + " has already ended (" + run.state + ")");
    const std::string set = run.state == BlrPlanDB::kQueued
                                ? "state=" + sqlText(BlrPlanDB::kStopped) +
                                      ", endTime=" + std::to_string(nowSecs())
                                : std::string("stopRequested=1");
    CZuError e = exec(sql, "UPDATE BlrPlanRun SET " + set + " WHERE id=" + i2s(run.id),
                      Accept::kOk, FXLOC);
    if (!e.IsError() && run.state == BlrPlanDB::kQueued) e = releasePairs(sql, run.id);
    if (!e.IsError()) e = answerRun(sql, run.id, false, resp);
    return e;
  });
}

CZuError BlrDBSvc::resumeRunHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse resumeRun() request");
  if (!body.runner.empty()) err = body.checkLease();
  if (err.IsError()) return err;
  return changeRun(body.runId, [&](BlrSQL& sql, Run run) {
    if (run.live())
      return refuse(FXLOC, "run", "run " + i2s(run.id) + " is " + run.state + " already");
    if (run.state == BlrPlanDB::kDone)
      return refuse(FXLOC, "run", "run " + i2s(run.id) + " is done: nothing to resume");
    CZuError e = run.planName.empty() ? CZuError() : findPlan(sql, &run);
    if (e.IsError())
      return refuse(FXLOC, "run",
                    "the plan \"" + run.planName + "\" of run " + i2s(run.id) + " no longer exists");
    e = exec(sql,
             "UPDATE BlrPlanRun SET state=" + sqlText(BlrPlanDB::kQueued) +
                 ", planId=" + i2s(run.planId) +
                 ", endTime=0, runner='', leaseUntil=0, stopRequested=0 WHERE id=" + i2s(run.id),
             Accept::kOk, FXLOC);
    if (!e.IsError()) e = holdPairs(sql, run);
    if (e.IsError()) return e;
    return body.runner.empty() ? answerRun(sql, run.id, false, resp) : takeRun(sql, run.id, body, resp);
  });
}
