#include "FleetView.h"

#include <cstdio>
#include <memory>

#include "BLR/BlrDBSvc.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrWorkflowSteps.h"
#include "host/log/EvEvent.h"
#include "host/base/FXString.h"

namespace {

constexpr int kPairEntityType = 187;
constexpr int kRequestEventId = 0x025A0100;

struct Workflow {
  const char* kind;
  const BlrWorkflowSteps& (*steps)();
  int runningStatus;
};

const Workflow kWorkflows[] = {
    {"failover", &blrFailoverSteps, BlrPairCodes::STATUS_FAILING_OVER},
    {"failback", &blrFailbackSteps, BlrPairCodes::STATUS_FAILING_BACK},
    {"switch_roles", &blrSwitchRolesSteps, BlrPairCodes::STATUS_SWITCHING_ROLES},
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }  // known names only

// The event ids of status changes, as an SQL list.
std::string statusEventList() {
  std::string list;
  for (const BlrPairStatusRow& row : kBlrPairStatusRows)
    if (row.event != 0) list += (list.empty() ? "" : ", ") + std::to_string(row.event);
  return list;
}

// Runs `statement`, binds with `bind`, calls `onRow` per row.
template <class Bind, class OnRow>
CZuError query(const std::string& statement, Bind bind, OnRow onRow) {
  BlrSQL sql("Anchor");
  int rc = sql.execQuery(statement.c_str());
  if (rc == DWSQL_NO_ROWS) return CZuError();
  if (rc == 0) rc = bind(sql);
  if (rc != 0)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't read the fleet: %s",
                                 sql.getLastErrorText().c_str());
  while ((rc = sql.getNextRow()) == 0) onRow();
  if (rc != DWSQL_NO_ROWS)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't read the fleet: %s",
                                 sql.getLastErrorText().c_str());
  return CZuError();
}

}  // namespace

std::string fleetStatusName(int status) {
  const BlrPairStatusRow* row = blrPairStatusRow(status);
  if (row != nullptr && row->name[0] != '\0') return row->name;
  return "status " + std::to_string(status);
}

CZuError fleetReadPairs(std::vector<FleetPair>* pairs) {
  const std::string statement =
      "SELECT p.id, p.srcName, p.dstName, p.headClientId, p.tailClientId, p.statusCode, "
      "p.flags, p.lagTime, p.statusMessage, COALESCE(h.name, ''), "
      "COALESCE(t.name, ''), COALESCE((SELECT MAX(e.time) FROM APP_Event e WHERE e.entityType=" +
      std::to_string(kPairEntityType) + " AND e.entityId=p.id AND e.eventId IN (" +
      statusEventList() +
      ")), 0) FROM BlrPair p LEFT JOIN APP_Client h ON h.id=p.headClientId "
      "LEFT JOIN APP_Client t ON t.id=p.tailClientId ORDER BY p.id";
  FleetPair row;
  wchar_t src[129], dst[129], head[257], tail[257];
  char message[257];
  int32_t headId = 0, tailId = 0;
  int64_t changed = 0;
  pairs->clear();
  return query(
      statement,
      [&](BlrSQL& sql) {
        return sql.ibindstruct("i|w128|w128|i|i|i|i|i|s256|w256|w256|b", &row.id, src, dst, &headId,
                               &tailId, &row.status, &row.flags, &row.lagSecs, message, head, tail,
                               &changed);
      },
      [&] {
        row.srcName = FXString::ToString(src);
        row.dstName = FXString::ToString(dst);
        row.headClient = head[0] != L'\0' ? FXString::ToString(head) : std::to_string(headId);
        row.tailClient = tail[0] != L'\0' ? FXString::ToString(tail) : std::to_string(tailId);
        row.statusMessage = message;
        row.statusChanged = changed;
        pairs->push_back(row);
      });
}

CZuError fleetReadLags(std::vector<std::pair<int32_t, int32_t>>* lags) {
  int32_t id = 0, lag = 0;
  lags->clear();
  return query(
      "SELECT id, lagTime FROM BlrPair ORDER BY id",
      [&](BlrSQL& sql) { return sql.ibindstruct("i|i", &id, &lag); },
      [&] { lags->emplace_back(id, lag); });
}

CZuError fleetReadRuns(const std::vector<FleetPair>& pairs, std::vector<FleetRun>* runs) {
  std::string names;
  for (const Workflow& w : kWorkflows)
    for (const BlrWorkflowStep& step : w.steps())
      names += (names.empty() ? "" : ", ") + quoted(*step.property);
  struct Recorded {
    std::string value;
    int64_t at;
  };
  std::map<int, std::map<std::string, Recorded>> byPair;
  int32_t pairId = 0;
  char name[129];
  std::unique_ptr<wchar_t[]> value(new wchar_t[1025]);
  int64_t at = 0;
  CZuError err = query(
      "SELECT pairId, propertyName, propertyValue, modified FROM BlrPairProperties "
      "WHERE propertyName IN (" + names + ") ORDER BY pairId",
      [&](BlrSQL& sql) { return sql.ibindstruct("i|s128|w1024|b", &pairId, name, value.get(), &at); },
      [&] { byPair[pairId][name] = {FXString::ToString(value.get()), at}; });
  if (err.IsError()) return err;
  runs->clear();
  for (const FleetPair& pair : pairs) {
    auto recorded = byPair.find(pair.id);
    if (recorded == byPair.end()) continue;
    for (const Workflow& w : kWorkflows) {
      FleetRun run;
      int64_t previous = 0;
      int lastRecorded = -1;  // index of the last step that recorded progress
      for (const BlrWorkflowStep& row : w.steps()) {
        FleetStep step;
        step.property = *row.property;
        step.label = row.displayLabel;
        auto it = recorded->second.find(step.property);
        if (it == recorded->second.end()) {
          step.state = "not run";
        } else {
          step.state = row.code != 0 && it->second.value != "1" ? "failed" : "done";
          step.at = it->second.at;
          if (previous > 0 && step.at >= previous) step.secs = step.at - previous;
          if (step.at > 0) previous = step.at;
          lastRecorded = static_cast<int>(run.steps.size());
        }
        run.steps.push_back(step);
      }
      if (lastRecorded < 0 && pair.status != w.runningStatus) continue;
      run.pairId = pair.id;
      run.pairName = pair.srcName;
      run.kind = w.kind;
      run.running = pair.status == w.runningStatus;
      // A step of a running workflow records "0" before it acts and "1"
      // after: the last one so far is under way, not failed.
      if (run.running && lastRecorded >= 0 && run.steps[lastRecorded].state == "failed")
        run.steps[lastRecorded].state = "running";
      runs->push_back(std::move(run));
    }
  }
  return CZuError();
}

CZuError fleetCountPlanRuns(std::map<std::pair<std::string, std::string>, int64_t>* counts) {
  char workflow[64], outcome[64];
  int64_t n = 0;
  counts->clear();
  return query(
      "SELECT r.workflow, rp.outcome, COUNT(*) FROM BlrPlanRunPair rp "
      "JOIN BlrPlanRun r ON r.id=rp.runId GROUP BY r.workflow, rp.outcome",
      [&](BlrSQL& sql) { return sql.ibindstruct("s63|s63|b", workflow, outcome, &n); },
      [&] { (*counts)[{workflow, outcome}] = n; });
}

CZuError fleetReadLiveRuns(int limit, std::vector<FleetLiveRun>* runs) {
  FleetLiveRun row;
  char kind[64], plan[128], state[64], actor[128], runner[64];
  int32_t planId = 0;
  runs->clear();
  std::map<int, int32_t> plans;
  CZuError err = query(
      "SELECT id, workflow, planName, planId, pairId, state, actor, runner, startTime FROM BlrPlanRun "
      "WHERE state IN ('queued', 'running') ORDER BY id LIMIT " + std::to_string(limit),
      [&](BlrSQL& sql) {
        return sql.ibindstruct("i|s63|s127|i|i|s63|s127|s63|b", &row.id, kind, plan, &planId,
                               &row.pairId, state, actor, runner, &row.started);
      },
      [&] {
        FleetLiveRun r = row;
        r.kind = kind, r.plan = plan, r.state = state, r.actor = actor, r.runner = runner;
        r.pairs = r.plan.empty() ? 1 : 0;
        plans[r.id] = planId;
        runs->push_back(r);
      });
  for (FleetLiveRun& r : *runs) {
    char outcome[64];
    int64_t n = 0;
    if (!err.IsError() && !r.plan.empty())
      err = query("SELECT COUNT(*) FROM BlrPlanPair WHERE planId=" + std::to_string(plans[r.id]),
                  [&](BlrSQL& sql) { return sql.ibindstruct("b", &r.pairs); }, [] {});
    if (!err.IsError())
      err = query("SELECT outcome, COUNT(*) FROM BlrPlanRunPair WHERE runId=" + std::to_string(r.id) +
                      " GROUP BY outcome",
                  [&](BlrSQL& sql) { return sql.ibindstruct("s63|b", outcome, &n); },
                  [&] { r.outcomes[outcome] = n; });
  }
  return err;
}

CZuError fleetCountRunStates(FleetRunStates* states) {
  char state[64];
  int64_t n = 0, first = 0;
  *states = FleetRunStates();
  for (const char* s : {"queued", "running", "done", "failed", "stopped", "interrupted"})
    states->count[s] = 0;
  return query(
      "SELECT state, COUNT(*), MIN(startTime) FROM BlrPlanRun GROUP BY state",
      [&](BlrSQL& sql) { return sql.ibindstruct("s63|b|b", state, &n, &first); },
      [&] {
        states->count[state] = n;
        if (std::string(state) == "running") states->oldestRunningStart = first;
      });
}

CZuError fleetCountStatusChanges(std::map<int, int64_t>* counts) {
  int32_t eventId = 0;
  int64_t n = 0;
  counts->clear();
  std::map<int, int64_t> byEvent;
  CZuError err = query(
      "SELECT eventId, COUNT(*) FROM APP_Event WHERE entityType=" +
          std::to_string(kPairEntityType) + " AND eventId IN (" + statusEventList() +
          ") GROUP BY eventId",
      [&](BlrSQL& sql) { return sql.ibindstruct("i|b", &eventId, &n); },
      [&] { byEvent[eventId] = n; });
  for (const BlrPairStatusRow& row : kBlrPairStatusRows)
    if (row.event != 0) (*counts)[row.code] = byEvent.count(row.event) ? byEvent[row.event] : 0;
  return err;
}

CZuError fleetReadEvents(int limit, std::vector<FleetEvent>* events) {
  EvEvent::Filter filter;
  filter.limit = limit;
  std::vector<EvEventRecord> records;
  CZuError err = EvEvent::list(filter, &records);
  if (err.IsError()) return err;
  events->clear();
  for (const EvEventRecord& r : records) {
    FleetEvent e;
    e.seq = r.seq;
    e.time = r.time;
    e.pairId = r.entityType == kPairEntityType ? r.entityId : 0;
    e.actor = r.actor;
    const std::string arg = r.arguments.empty() ? "" : r.arguments[0];
    if (r.eventId == kRequestEventId) {
      e.text = "request " + arg;
    } else {
      for (const BlrPairStatusRow& row : kBlrPairStatusRows)
        if (row.event == r.eventId) e.text = "status " + fleetStatusName(row.code);
      if (e.text.empty()) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(r.eventId));
        e.text = std::string("event ") + id;
      }
      if (!arg.empty()) e.text += " (" + arg + ")";
    }
    events->push_back(e);
  }
  return CZuError();
}
