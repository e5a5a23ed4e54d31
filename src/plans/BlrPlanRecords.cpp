// Encoding of the recovery plan records, by their tables of fields
// (BlrPlanFields.h).
#include "BLR/BlrPlanDB.h"
#include "records/BlrDBTags.h"
#include "plans/BlrPlanFields.h"

// Every plan record decodes leniently over a cleared record: what can't be
// read is passed over.
BLR_RECORD_BY_TABLE(BlrPlanDB::Member)
BLR_RECORD_BY_TABLE(BlrPlanDB::Group)
BLR_RECORD_BY_TABLE(BlrPlanDB::Plan)
BLR_RECORD_BY_TABLE(BlrPlanDB::RunPair)
BLR_RECORD_BY_TABLE(BlrPlanDB::Run)

// ---- Lists ----

std::vector<char> BlrPlanDB::encodePlans(const std::list<Plan>& plans) {
  return blr_fields::encodeList(BLRDB_TAG_PLAN, plans);
}

std::vector<char> BlrPlanDB::encodeRuns(const std::list<Run>& runs) {
  return blr_fields::encodeList(BLRDB_TAG_PLAN_RUN, runs);
}

namespace {

// The containers of `tag`; `what` names the list in a failure.
template <class Record>
CZuError decodeNamedList(const std::vector<char>& bytes, int tag, std::list<Record>* records,
                         const char* what) {
  CZuError err = blr_fields::decodeList(bytes, tag, records);
  if (err.IsError()) err.Push(FXLOC, "Couldn't parse %s list", what);
  return err;
}

}  // namespace

CZuError BlrPlanDB::decodePlans(const std::vector<char>& bytes, std::list<Plan>* plans) {
  return decodeNamedList(bytes, BLRDB_TAG_PLAN, plans, "plan");
}

CZuError BlrPlanDB::decodeRuns(const std::vector<char>& bytes, std::list<Run>* runs) {
  return decodeNamedList(bytes, BLRDB_TAG_PLAN_RUN, runs, "run");
}
