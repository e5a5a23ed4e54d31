// Run records of recovery plans: one row per run and one per pair of it.
// Runs keep the plan's name, so that they outlive the plan for the report.
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
// userName.
const char kRunColumns[] =
    "SELECT id, planId, planName, workflow, userName, startTime, endTime, state FROM BlrPlanRun ";

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

CZuError checkRunPair(const RunPair& p) {
  if (p.pairId < 1) return refuse(FXLOC, "pair", "must be a pair ID");
  return BlrPlanDB::checkTexts(p);
}

// "1 = run id" and one nested part of the body, whichever are there.
struct RunBody {
  int32_t runId = 0;
  std::string state;
  std::string planName;
  std::list<RunPair> pairs;

  // Every element must read, and a text must fit its column.
  CZuError parse(const BlrDBSvc::Map& req) {
    std::vector<char> bytes;
    CZuError err = blrReadBlob(req, &bytes);
    if (err.IsError()) return err;
    return forEachElementWholly(bytes.data(), bytes.size(), [this](DwEbmlParser& p, int tag, int len) {
      if (tag == BLRDB_TAG_ID) return p.getNumPayload(len, &runId);
      if (tag == BLRDB_TAG_STATE) return readText(p, len, "state", BlrPlanDB::kMaxWordBytes, &state);
      if (tag == BLRDB_TAG_NAME) return readText(p, len, "plan name", BlrPlanDB::kMaxNameBytes, &planName);
      if (tag != BLRDB_TAG_PLAN_RUN_PAIR) return CZuError();
      pairs.emplace_back();
      return blr_fields::decodeWholly(p.getPos(), len, pairs.back());
    });
  }
};

CZuError requireRun(BlrSQL& sql, int32_t runId) {
  int32_t found = 0;
  CZuError err = lookupId(sql, "SELECT id FROM BlrPlanRun WHERE id=" + i2s(runId), &found);
  if (!err.IsError() && found == 0) err = refuse(FXLOC, "run", "no run " + i2s(runId));
  return err;
}

// Runs `change` in a transaction on run `runId`, which must exist.
template <class Change>
CZuError changeRun(int32_t runId, Change change) {
  BlrSQL sql(ANCHOR_DB);
  CZuError err = begin(sql, FXLOC);
  if (!err.IsError()) err = requireRun(sql, runId);
  if (!err.IsError()) err = change(sql);
  if (!err.IsError()) err = commit(sql, FXLOC);
  return err;
}

}  // namespace

CZuError BlrDBSvc::createPlanRunHnd(const Map& req, Map* resp, const KRP_Cert&) {
  Run run;
  CZuError err = decodePayload(req, &run, "Couldn't parse createPlanRun() request", FXLOC);
  if (!err.IsError()) err = BlrPlanDB::checkTexts(run);
  if (err.IsError()) return err;
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  if (!err.IsError())
    err = lookupId(sql, "SELECT id FROM BlrPlan WHERE name=" + sqlText(run.planName), &run.planId);
  if (!err.IsError() && run.planId == 0)
    err = refuse(FXLOC, "plan", "no plan \"" + run.planName + "\"");
  run.startTime = static_cast<uint64_t>(nowSecs());
  run.endTime = 0;
  run.state = "running";
  run.pairs.clear();
  if (!err.IsError())
    err = exec(sql,
               "INSERT INTO BlrPlanRun(planId, planName, workflow, userName, startTime, endTime, "
               "state) VALUES(" +
                   i2s(run.planId) + ", " + sqlText(run.planName) + ", " + sqlText(run.workflow) +
                   ", " + sqlText(run.user) + ", " + u2s(run.startTime) + ", 0, " +
                   sqlText(run.state) + "); SELECT SCOPE_IDENTITY()",
               Accept::kOk, FXLOC);
  if (!err.IsError()) err = readIdentity(sql, "BlrPlanRun", &run.id, FXLOC);
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (err.IsError()) return err;
  blrSetBlob(*resp, BlrPlanDB::encodeRuns({run}));
  return CZuError();
}

CZuError BlrDBSvc::setPlanRunPairHnd(const Map& req, Map*, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse setPlanRunPair() request");
  if (body.pairs.size() != 1) return refuse(FXLOC, "pair", "one pair expected");
  const RunPair& p = body.pairs.front();
  err = checkRunPair(p);
  if (err.IsError()) return err;
  return changeRun(body.runId, [&](BlrSQL& sql) {
    CZuError e = exec(sql,
                      "DELETE FROM BlrPlanRunPair WHERE runId=" + i2s(body.runId) +
                          " AND pairId=" + i2s(p.pairId),
                      Accept::kOk, FXLOC);
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
  if (err.IsError()) return err;
  return changeRun(body.runId, [&](BlrSQL& sql) {
    return exec(sql,
                "UPDATE BlrPlanRun SET state=" + sqlText(body.state) +
                    ", endTime=" + std::to_string(nowSecs()) + " WHERE id=" + i2s(body.runId),
                Accept::kOk, FXLOC);
  });
}

// By run id: that run with its pairs.  By plan name: its runs, newest first.
CZuError BlrDBSvc::getPlanRunsHnd(const Map& req, Map* resp, const KRP_Cert&) {
  RunBody body;
  CZuError err = body.parse(req);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse getPlanRuns() request");
  BlrSQL sql(ANCHOR_DB);
  std::list<Run> runs;
  if (body.runId != 0) {
    err = readRuns(sql, "WHERE id=" + i2s(body.runId), &runs);
    if (!err.IsError() && !runs.empty()) err = readRunPairs(sql, &runs.front());
  } else {
    err = readRuns(sql, "WHERE planName=" + sqlText(body.planName) + " ORDER BY id DESC", &runs);
  }
  if (err.IsError()) return err.Push(FXLOC, "Couldn't query BlrPlanRuns");
  blrSetBlob(*resp, BlrPlanDB::encodeRuns(runs));
  return CZuError();
}
