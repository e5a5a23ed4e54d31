// Recovery plan handlers: a plan is checked whole before any row is written,
// and stored, read and deleted with its groups and pairs in one transaction.
#include <map>
#include <memory>
#include <set>

#include "BLR/BlrDBSvc.h"
#include "BLR/BlrPlanDB.h"
#include "service/BlrDBSvcInternal.h"
#include "plans/BlrPlanFields.h"
#include "records/BlrDBTags.h"
#include "records/BlrRecordColumns.h"

using namespace blrdbsvc;

namespace {

using Plan = BlrPlanDB::Plan;

constexpr int32_t kKnownOptions =
    BlrPlanDB::PLAN_TO_LATEST | BlrPlanDB::PLAN_KEEP_PROD_OFF | BlrPlanDB::PLAN_CONTINUE_ON_ERROR;

CZuError refuse(const FXCodeLocation& loc, const std::string& field, const std::string& why) {
  return FXErrorUtil::ErrorInt(loc, 1, "%s: %s", field.c_str(), why.c_str());
}

std::string groupField(int group) { return "groups[" + i2s(group) + "]"; }

// Everything about a plan that needs no database.
CZuError checkShape(const Plan& plan) {
  if (plan.name.empty()) return refuse(FXLOC, "name", "a plan needs a name");
  CZuError err = BlrPlanDB::checkTexts(plan);
  if (err.IsError()) return err;
  if (plan.healthTimeoutSecs < 1) return refuse(FXLOC, "healthTimeout", "must be at least 1");
  if (plan.rtoSeconds < 0) return refuse(FXLOC, "rtoSeconds", "must not be negative");
  if (plan.rpoSeconds < 0) return refuse(FXLOC, "rpoSeconds", "must not be negative");
  if (plan.groups.empty()) return refuse(FXLOC, "groups", "a plan needs at least one group");
  std::map<int32_t, int> groupOfPair;
  int g = 0;
  for (const BlrPlanDB::Group& group : plan.groups) {
    const std::string field = groupField(g);
    if (group.members.empty()) return refuse(FXLOC, field + ".pairs", "empty group");
    if (group.parallelism < 1) return refuse(FXLOC, field + ".parallelism", "must be at least 1");
    int m = 0;
    for (const BlrPlanDB::Member& member : group.members) {
      const std::string at = field + ".pairs[" + i2s(m++) + "]";
      if (member.pairId < 1) return refuse(FXLOC, at + ".pair", "must be a pair ID");
      if ((member.options & ~kKnownOptions) != 0)
        return refuse(FXLOC, at + ".options", "unknown option bits " + i2s(member.options));
      auto placed = groupOfPair.emplace(member.pairId, g);
      if (!placed.second)
        return refuse(
            FXLOC, at + ".pair",
            "pair " + i2s(member.pairId) + " is already in " + groupField(placed.first->second));
    }
    ++g;
  }
  return CZuError();
}

// The pair IDs of `plan` that have no pair, checked inside the transaction.
CZuError checkPairsExist(BlrSQL& sql, const Plan& plan) {
  std::string ids;
  for (const BlrPlanDB::Group& group : plan.groups)
    for (const BlrPlanDB::Member& m : group.members)
      ids += (ids.empty() ? "" : ",") + i2s(m.pairId);
  int result = 0;
  CZuError err = exec(sql, "SELECT id FROM BlrPair WHERE id IN (" + ids + ")", Accept::kOkOrNoRows,
                      FXLOC, &result);
  if (err.IsError()) return err;
  std::set<int32_t> known;
  if (result == 0) {
    int32_t id = 0;
    int rc = sql.ibindstruct("i", &id);
    if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Bind failed");
    while (sql.getNextRow() == 0) known.insert(id);
  }
  int g = 0;
  for (const BlrPlanDB::Group& group : plan.groups) {
    int m = 0;
    for (const BlrPlanDB::Member& member : group.members) {
      if (known.count(member.pairId) == 0)
        return refuse(FXLOC, groupField(g) + ".pairs[" + i2s(m) + "].pair",
                      "no pair " + i2s(member.pairId));
      ++m;
    }
    ++g;
  }
  return CZuError();
}

CZuError checkNameFree(BlrSQL& sql, const std::string& name) {
  int result = 0;
  CZuError err = exec(sql, "SELECT id FROM BlrPlan WHERE name=" + sqlText(name),
                      Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError()) return err;
  if (result == 0) return refuse(FXLOC, "name", "plan \"" + name + "\" already exists");
  return CZuError();
}

CZuError insertPlan(BlrSQL& sql, Plan* plan) {
  plan->created = plan->modified = static_cast<uint64_t>(nowSecs());
  const std::string stamp = std::to_string(plan->created);
  CZuError err = exec(sql,
                      "INSERT INTO BlrPlan(name, healthTimeoutSecs, rtoSeconds, rpoSeconds, created, "
                      "modified) VALUES(" +
                          sqlText(plan->name) + ", " + i2s(plan->healthTimeoutSecs) + ", " +
                          i2s(plan->rtoSeconds) + ", " + i2s(plan->rpoSeconds) + ", " + stamp +
                          ", " + stamp + "); SELECT SCOPE_IDENTITY()",
                      Accept::kOk, FXLOC);
  if (!err.IsError()) err = readIdentity(sql, "BlrPlan", &plan->id, FXLOC);
  int g = 0;
  for (auto group = plan->groups.begin(); !err.IsError() && group != plan->groups.end(); ++group) {
    err = exec(sql,
               "INSERT INTO BlrPlanGroup(planId, groupNo, parallelism) VALUES(" + i2s(plan->id) +
                   ", " + i2s(g) + ", " + i2s(group->parallelism) + ")",
               Accept::kOk, FXLOC);
    int position = 0;
    for (auto m = group->members.begin(); !err.IsError() && m != group->members.end(); ++m)
      err = exec(sql,
                 "INSERT INTO BlrPlanPair(planId, groupNo, position, pairId, options) VALUES(" +
                     i2s(plan->id) + ", " + i2s(g) + ", " + i2s(position++) + ", " +
                     i2s(m->pairId) + ", " + i2s(m->options) + ")",
                 Accept::kOk, FXLOC);
    ++g;
  }
  return err;
}

// The plans that `where` selects from BlrPlan, by name, with their groups.
CZuError readPlans(BlrSQL& sql, const std::string& where, std::list<Plan>* plans) {
  plans->clear();
  std::map<int32_t, Plan*> byId;
  blr_fields::RecordColumns<Plan> row;
  CZuError err = readRows(
      sql,
      "SELECT " + blr_fields::columnNames<Plan>("BlrPlan") + " FROM BlrPlan " + where +
          " ORDER BY name",
      [&] { return row.bind(sql); },
      [&] {
        Plan& plan = plans->emplace_back();
        row.fill(&plan);
        byId[plan.id] = &plan;
      },
      FXLOC);
  if (err.IsError() || plans->empty()) return err;
  int32_t id = 0, groupNo = 0, number = 0, pairId = 0, options = 0;
  const std::string ofPlans = " WHERE planId IN (SELECT id FROM BlrPlan " + where + ")";
  err = readRows(
      sql,
      "SELECT planId, groupNo, parallelism FROM BlrPlanGroup" + ofPlans +
          " ORDER BY planId, groupNo",
      [&] { return sql.ibindstruct("i|i|i", &id, &groupNo, &number); },
      [&] {
        auto plan = byId.find(id);
        if (plan == byId.end()) return;  // stored after the first query
        BlrPlanDB::Group group;
        group.parallelism = number;
        plan->second->groups.push_back(group);
      },
      FXLOC);
  if (err.IsError()) return err;
  return readRows(
      sql,
      "SELECT planId, groupNo, pairId, options FROM BlrPlanPair" + ofPlans +
          " ORDER BY planId, groupNo, position",
      [&] { return sql.ibindstruct("i|i|i|i", &id, &groupNo, &pairId, &options); },
      [&] {
        auto found = byId.find(id);
        if (found == byId.end()) return;
        Plan* plan = found->second;
        if (groupNo < 0 || static_cast<size_t>(groupNo) >= plan->groups.size()) return;
        BlrPlanDB::Member member;
        member.pairId = pairId;
        member.options = options;
        std::next(plan->groups.begin(), groupNo)->members.push_back(member);
      },
      FXLOC);
}

// The plan name of a request's body, if it names one; every element must read.
// A plan is not deleted under a live run of it: the runner would find
// nothing to run.
CZuError checkNoLiveRun(BlrSQL& sql, const Plan& plan) {
  int32_t runId = 0;
  CZuError err = readRows(
      sql,
      "SELECT id FROM BlrPlanRun WHERE planId=" + i2s(plan.id) + " AND state IN (" +
          sqlText(BlrPlanDB::kQueued) + ", " + sqlText(BlrPlanDB::kRunning) + ") LIMIT 1",
      [&] { return sql.ibindstruct("i", &runId); }, [] {}, FXLOC);
  if (err.IsError() || runId == 0) return err;
  return refuse(FXLOC, "plan",
                "run " + i2s(runId) + " of plan \"" + plan.name + "\" is live: stop it first");
}

CZuError parseName(const BlrDBSvc::Map& req, std::string* name) {
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  if (err.IsError()) return err;
  return forEachElementWholly(bytes.data(), bytes.size(), [name](DwEbmlParser& p, int tag, int len) {
    return tag == BLRDB_TAG_NAME ? readText(p, len, "plan name", BlrPlanDB::kMaxNameBytes, name) : CZuError();
  });
}

void answerPlans(const std::list<Plan>& plans, BlrDBSvc::Map* resp) {
  blrSetBlob(*resp, BlrPlanDB::encodePlans(plans));
}

}  // namespace

CZuError BlrDBSvc::createPlanHnd(const Map& req, Map* resp, const KRP_Cert&) {
  Plan plan;
  CZuError err = decodePayload(req, &plan, "Couldn't parse createPlan() request", FXLOC);
  if (err.IsError()) return err;
  err = checkShape(plan);
  if (err.IsError()) return err;
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  if (!err.IsError()) err = checkNameFree(sql, plan.name);
  if (!err.IsError()) err = checkPairsExist(sql, plan);
  if (!err.IsError()) err = insertPlan(sql, &plan);
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (err.IsError()) return err;
  answerPlans({plan}, resp);
  return CZuError();
}

CZuError BlrDBSvc::getPlansHnd(const Map& req, Map* resp, const KRP_Cert&) {
  std::string name;
  CZuError err = parseName(req, &name);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse getPlans() request");
  BlrSQL sql(ANCHOR_DB);
  std::list<Plan> plans;
  err = readPlans(sql, name.empty() ? "" : "WHERE name=" + sqlText(name), &plans);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't query BlrPlans");
  answerPlans(plans, resp);
  return CZuError();
}

CZuError BlrDBSvc::delPlanHnd(const Map& req, Map* resp, const KRP_Cert&) {
  std::string name;
  CZuError err = parseName(req, &name);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse delPlan() request");
  if (name.empty()) return refuse(FXLOC, "name", "a plan name expected");
  BlrSQL sql(ANCHOR_DB);
  std::list<Plan> plans;
  err = begin(sql, FXLOC);
  if (!err.IsError()) err = readPlans(sql, "WHERE name=" + sqlText(name), &plans);
  for (const Plan& plan : plans) {
    const std::string of = " WHERE planId=" + i2s(plan.id);
    if (!err.IsError()) err = checkNoLiveRun(sql, plan);
    if (!err.IsError()) err = exec(sql, "DELETE FROM BlrPlanPair" + of, Accept::kOk, FXLOC);
    if (!err.IsError()) err = exec(sql, "DELETE FROM BlrPlanGroup" + of, Accept::kOk, FXLOC);
    if (!err.IsError())
      err = exec(sql, "DELETE FROM BlrPlan WHERE id=" + i2s(plan.id), Accept::kOk, FXLOC);
  }
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't delete BlrPlan \"%s\"", name.c_str());
  answerPlans(plans, resp);
  return CZuError();
}
