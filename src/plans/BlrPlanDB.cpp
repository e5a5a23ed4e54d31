// The recovery plan client: each operation is one request on the link "BLR".
#include "BLR/BlrPlanDB.h"

#include "BLR/BlrDB.h"
#include "BLR/BlrDBTexts.h"
#include "pairdb/BlrDBRequests.h"
#include "records/BlrDBTags.h"

namespace {

// Sends a body and decodes the answer as a list of plans or of runs.
template <class Record>
CZuError askList(const char* request, const DwEbmlWriter& body, std::list<Record>* records,
                 CZuError (*decode)(const std::vector<char>&, std::list<Record>*)) {
  std::vector<char> answer;
  CZuError err = BlrDB().makeReq(request, body, &answer);
  if (!err.IsError()) err = decode(answer, records);
  if (err.IsError()) return err.Push(FXLOC);
  return CZuError();
}

CZuError askPlans(const char* request, const DwEbmlWriter& body, std::list<BlrPlanDB::Plan>* plans) {
  return askList(request, body, plans, &BlrPlanDB::decodePlans);
}

// Sends "29 = name" and decodes the plan list of the answer.
CZuError askByName(const char* request, const std::string& name,
                   std::list<BlrPlanDB::Plan>* plans) {
  DwEbmlBuffer buffer(256);
  DwEbmlWriter body(buffer, 0);
  body.writeStrTag(BLRDB_TAG_NAME, name);
  return askPlans(request, body, plans);
}

// `text` within `max` bytes; `required` also refuses it empty.
CZuError checkText(const char* field, const std::string& text, size_t max, bool required) {
  if (required && text.empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "%s: must be given", field);
  return blrCheckText(field, text, static_cast<int>(max), BlrTextUnit::kBytes);
}

}  // namespace

CZuError BlrPlanDB::checkTexts(const Plan& plan) {
  return checkText("name", plan.name, kMaxNameBytes, false);
}

CZuError BlrPlanDB::checkTexts(const Run& run) {
  CZuError err = checkText("workflow", run.workflow, kMaxWordBytes, true);
  if (!err.IsError()) err = checkText("user", run.user, kMaxWordBytes, false);
  if (!err.IsError()) err = checkText("plan", run.planName, kMaxNameBytes, false);
  return err;
}

CZuError BlrPlanDB::checkTexts(const RunPair& p) {
  CZuError err = checkText("outcome", p.outcome, kMaxWordBytes, true);
  if (!err.IsError()) err = checkText("error", p.error, kMaxErrorBytes, false);
  if (!err.IsError()) err = checkText("steps", p.steps, kMaxStepsBytes, false);
  return err;
}

CZuError BlrPlanDB::checkState(const std::string& state) {
  return checkText("state", state, kMaxWordBytes, true);
}

CZuError BlrPlanDB::createPlan(const Plan& plan, int* planId) {
  CZuError err = checkTexts(plan);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create plan");
  DwEbmlBuffer buffer(4096);
  DwEbmlWriter body(buffer, 0);
  plan.serialize(body);
  std::list<Plan> stored;
  err = askPlans(blrdb_req::name(BlrDBReq::kCreatePlan), body, &stored);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create plan \"%s\"", plan.name.c_str());
  if (planId) *planId = stored.empty() ? 0 : stored.front().id;
  return CZuError();
}

CZuError BlrPlanDB::getPlan(const std::string& name, Plan* plan) {
  std::list<Plan> found;
  CZuError err = askByName(blrdb_req::name(BlrDBReq::kGetPlans), name, &found);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't lookup plan \"%s\"", name.c_str());
  if (found.empty()) {
    plan->clear();
  } else {
    *plan = found.front();
  }
  return CZuError();
}

CZuError BlrPlanDB::listPlans(std::list<Plan>* plans) {
  DwEbmlBuffer buffer(16);
  DwEbmlWriter body(buffer, 0);
  CZuError err = askPlans(blrdb_req::name(BlrDBReq::kGetPlans), body, plans);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't lookup plans");
  return CZuError();
}

CZuError BlrPlanDB::delPlan(const std::string& name, bool* found) {
  std::list<Plan> deleted;
  CZuError err = askByName(blrdb_req::name(BlrDBReq::kDelPlan), name, &deleted);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't delete plan \"%s\"", name.c_str());
  if (found) *found = !deleted.empty();
  return CZuError();
}

// ---- Runs ----

namespace {

CZuError askRuns(const char* request, const DwEbmlWriter& body, std::list<BlrPlanDB::Run>* runs) {
  return askList(request, body, runs, &BlrPlanDB::decodeRuns);
}

}  // namespace

CZuError BlrPlanDB::createRun(Run* run) {
  CZuError err = checkTexts(*run);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't start a run of plan \"%s\"", run->planName.c_str());
  DwEbmlBuffer buffer(512);
  DwEbmlWriter body(buffer, 0);
  run->serialize(body);
  std::list<Run> stored;
  err = askRuns(blrdb_req::name(BlrDBReq::kCreatePlanRun), body, &stored);
  if (err.IsError() || stored.empty())
    return err.Push(FXLOC, "Couldn't start a run of plan \"%s\"", run->planName.c_str());
  *run = stored.front();
  return CZuError();
}

CZuError BlrPlanDB::setRunPair(int runId, const RunPair& pair) {
  CZuError err = checkTexts(pair);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't record pair %d in run %d", pair.pairId, runId);
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter body(buffer, 0);
  body.writeNumTag(BLRDB_TAG_ID, runId);
  body.openContTag(BLRDB_TAG_PLAN_RUN_PAIR, BLRDB_RECORD_BOUND);
  pair.serialize(body);
  body.closeContTag();
  err = BlrDB().makeReq(blrdb_req::name(BlrDBReq::kSetPlanRunPair), body, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't record pair %d in run %d", pair.pairId, runId);
  return err;
}

CZuError BlrPlanDB::finishRun(int runId, const std::string& state) {
  CZuError err = checkState(state);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't finish run %d", runId);
  DwEbmlBuffer buffer(128);
  DwEbmlWriter body(buffer, 0);
  body.writeNumTag(BLRDB_TAG_ID, runId);
  body.writeStrTag(BLRDB_TAG_STATE, state);
  err = BlrDB().makeReq(blrdb_req::name(BlrDBReq::kFinishPlanRun), body, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't finish run %d", runId);
  return err;
}

CZuError BlrPlanDB::getRuns(const std::string& planName, std::list<Run>* runs) {
  DwEbmlBuffer buffer(256);
  DwEbmlWriter body(buffer, 0);
  body.writeStrTag(BLRDB_TAG_NAME, planName);
  CZuError err = askRuns(blrdb_req::name(BlrDBReq::kGetPlanRuns), body, runs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't lookup runs of plan \"%s\"", planName.c_str());
  return err;
}

CZuError BlrPlanDB::getRun(int runId, Run* run) {
  DwEbmlBuffer buffer(64);
  DwEbmlWriter body(buffer, 0);
  body.writeNumTag(BLRDB_TAG_ID, runId);
  std::list<Run> found;
  CZuError err = askRuns(blrdb_req::name(BlrDBReq::kGetPlanRuns), body, &found);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't lookup run %d", runId);
  if (found.empty()) {
    run->clear();
  } else {
    *run = found.front();
  }
  return CZuError();
}
