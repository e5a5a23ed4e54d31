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
  if (!err.IsError()) err = checkText("options", run.options, kMaxOptionsBytes, false);
  if (!err.IsError()) err = checkText("actor", run.actor, kMaxNameBytes, false);
  if (!err.IsError()) err = checkText("host", run.host, kMaxWordBytes, false);
  if (!err.IsError()) err = checkText("runner", run.runner, kMaxWordBytes, false);
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

// "plan "site b"" or "pair 12", for messages about a run.
std::string runTarget(const BlrPlanDB::Run& run) {
  return run.planName.empty() ? "pair " + std::to_string(run.pairId)
                              : "plan \"" + run.planName + "\"";
}

// Sends a body of run requests and takes the one run of the answer (none:
// `run` cleared).
CZuError askOneRun(BlrDBReq request, const DwEbmlWriter& body, BlrPlanDB::Run* run) {
  std::list<BlrPlanDB::Run> found;
  CZuError err = askRuns(blrdb_req::name(request), body, &found);
  if (err.IsError()) return err;
  if (found.empty()) {
    run->clear();
  } else {
    *run = std::move(found.front());
  }
  return CZuError();
}

// A body of run id, runner and lease.
class RunRequest {
 public:
  RunRequest() : buffer_(256), body_(buffer_, 0) {}
  RunRequest& id(int runId) { body_.writeNumTag(BLRDB_TAG_ID, runId); return *this; }
  RunRequest& lease(const std::string& runner, int leaseSecs) {
    body_.writeStrTag(BLRDB_TAG_RUNNER, runner);
    body_.writeNumTag(BLRDB_TAG_LEASE_SECS, leaseSecs);
    return *this;
  }
  RunRequest& limit(int limit) {
    if (limit > 0) body_.writeNumTag(BLRDB_TAG_LIMIT, limit);
    return *this;
  }
  RunRequest& text(int tag, const std::string& value) {
    if (!value.empty()) body_.writeStrTag(tag, value);
    return *this;
  }
  const DwEbmlWriter& body() const { return body_; }

 private:
  DwEbmlBuffer buffer_;
  DwEbmlWriter body_;
};

}  // namespace

CZuError BlrPlanDB::createRun(Run* run, int leaseSecs) {
  CZuError err = checkTexts(*run);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't start a run of %s", runTarget(*run).c_str());
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter body(buffer, 0);
  run->serialize(body);
  if (!run->runner.empty()) body.writeNumTag(BLRDB_TAG_LEASE_SECS, leaseSecs);
  std::list<Run> stored;
  err = askRuns(blrdb_req::name(BlrDBReq::kCreatePlanRun), body, &stored);
  if (err.IsError() || stored.empty())
    return err.Push(FXLOC, "Couldn't start a run of %s", runTarget(*run).c_str());
  *run = stored.front();
  return CZuError();
}

CZuError BlrPlanDB::setRunPair(int runId, const RunPair& pair, const std::string& runner) {
  CZuError err = checkTexts(pair);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't record pair %d in run %d", pair.pairId, runId);
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter body(buffer, 0);
  body.writeNumTag(BLRDB_TAG_ID, runId);
  if (!runner.empty()) body.writeStrTag(BLRDB_TAG_RUNNER, runner);
  body.openContTag(BLRDB_TAG_PLAN_RUN_PAIR, BLRDB_RECORD_BOUND);
  pair.serialize(body);
  body.closeContTag();
  err = BlrDB().makeReq(blrdb_req::name(BlrDBReq::kSetPlanRunPair), body, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't record pair %d in run %d", pair.pairId, runId);
  return err;
}

CZuError BlrPlanDB::finishRun(int runId, const std::string& state, const std::string& runner) {
  CZuError err = checkState(state);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't finish run %d", runId);
  RunRequest req;
  req.id(runId).text(BLRDB_TAG_STATE, state).text(BLRDB_TAG_RUNNER, runner);
  err = BlrDB().makeReq(blrdb_req::name(BlrDBReq::kFinishPlanRun), req.body(), nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't finish run %d", runId);
  return err;
}

CZuError BlrPlanDB::getRuns(const std::string& planName, std::list<Run>* runs) {
  CZuError err = listRuns("", planName, 0, runs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't lookup runs of plan \"%s\"", planName.c_str());
  return err;
}

CZuError BlrPlanDB::listRuns(const std::string& state, const std::string& planName, int limit,
                             std::list<Run>* runs) {
  RunRequest req;
  req.text(BLRDB_TAG_NAME, planName).text(BLRDB_TAG_STATE, state).limit(limit);
  CZuError err = askRuns(blrdb_req::name(BlrDBReq::kGetPlanRuns), req.body(), runs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't lookup runs");
  return err;
}

CZuError BlrPlanDB::getRun(int runId, Run* run) {
  RunRequest req;
  CZuError err = askOneRun(BlrDBReq::kGetPlanRuns, req.id(runId).body(), run);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't lookup run %d", runId);
  return CZuError();
}

CZuError BlrPlanDB::claimRun(const std::string& runner, int leaseSecs, Run* run, int runId,
                             const std::string& goneRunner, const std::string& runnerClass) {
  RunRequest req;
  if (runId != 0) req.id(runId).text(BLRDB_TAG_GONE_RUNNER, goneRunner);
  req.text(BLRDB_TAG_RUNNER_CLASS, runnerClass);
  CZuError err = askOneRun(BlrDBReq::kClaimRun, req.lease(runner, leaseSecs).body(), run);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't claim a run for runner %s", runner.c_str());
  return CZuError();
}

CZuError BlrPlanDB::renewLease(int runId, const std::string& runner, int leaseSecs, Run* run) {
  RunRequest req;
  CZuError err =
      askOneRun(BlrDBReq::kRenewRunLease, req.id(runId).lease(runner, leaseSecs).body(), run);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't renew the lease on run %d", runId);
  return CZuError();
}

CZuError BlrPlanDB::stopRun(int runId, Run* run) {
  RunRequest req;
  CZuError err = askOneRun(BlrDBReq::kStopRun, req.id(runId).body(), run);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't stop run %d", runId);
  return CZuError();
}

CZuError BlrPlanDB::resumeRun(int runId, Run* run, const std::string& runner, int leaseSecs) {
  RunRequest req;
  req.id(runId);
  if (!runner.empty()) req.lease(runner, leaseSecs);
  CZuError err = askOneRun(BlrDBReq::kResumeRun, req.body(), run);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't resume run %d", runId);
  return CZuError();
}
