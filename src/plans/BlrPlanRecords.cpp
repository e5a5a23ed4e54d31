// Encoding of the recovery plan records, by their tables of fields
// (BlrRecordFields.h).
#include "BLR/BlrPlanDB.h"
#include "records/BlrDBTags.h"
#include "records/BlrRecordFields.h"

namespace blr_fields {

using M = BlrPlanDB::Member;
using G = BlrPlanDB::Group;
using PL = BlrPlanDB::Plan;
using RP = BlrPlanDB::RunPair;
using R = BlrPlanDB::Run;

template <>
struct FieldTable<M> {
  static constexpr Field<M> rows[] = {
      {BLRDB_TAG_PAIR_ID, "pairId", &M::pairId},
      {BLRDB_TAG_OPTIONS, "options", &M::options},
  };
};

template <>
struct FieldTable<G> {
  static constexpr Field<G> rows[] = {
      {BLRDB_TAG_PARALLELISM, "parallelism", &G::parallelism},
      {BLRDB_TAG_PLAN_MEMBER, "members", listOf<&G::members>()},
  };
};

template <>
struct FieldTable<PL> {
  static constexpr Field<PL> rows[] = {
      {BLRDB_TAG_ID, "id", &PL::id},
      {BLRDB_TAG_NAME, "name", &PL::name},
      {BLRDB_TAG_HEALTH_TIMEOUT, "healthTimeoutSecs", &PL::healthTimeoutSecs},
      {BLRDB_TAG_CREATION_TIME, "created", &PL::created},
      {BLRDB_TAG_MODIFIED_TIME, "modified", &PL::modified},
      {BLRDB_TAG_PLAN_GROUP, "groups", listOf<&PL::groups>()},
  };
};

template <>
struct FieldTable<RP> {
  static constexpr Field<RP> rows[] = {
      {BLRDB_TAG_PAIR_ID, "pairId", &RP::pairId},
      {BLRDB_TAG_GROUP_NO, "groupNo", &RP::groupNo},
      {BLRDB_TAG_STATE, "outcome", &RP::outcome},
      {BLRDB_TAG_CREATION_TIME, "startTime", &RP::startTime},
      {BLRDB_TAG_END_TIME, "endTime", &RP::endTime},
      {BLRDB_TAG_SEQ_NUM, "seqNum", &RP::seqNum},
      {BLRDB_TAG_LAG_TIME, "lagAtStart", &RP::lagAtStart},
      {BLRDB_TAG_EXIT_CODE, "exitCode", &RP::exitCode},
      {BLRDB_TAG_STATUS_MESSAGE, "error", &RP::error},
      {BLRDB_TAG_STEPS, "steps", &RP::steps},
  };
};

template <>
struct FieldTable<R> {
  static constexpr Field<R> rows[] = {
      {BLRDB_TAG_ID, "id", &R::id},
      {BLRDB_TAG_PLAN_ID, "planId", &R::planId},
      {BLRDB_TAG_NAME, "planName", &R::planName},
      {BLRDB_TAG_WORKFLOW, "workflow", &R::workflow},
      {BLRDB_TAG_USER, "user", &R::user},
      {BLRDB_TAG_CREATION_TIME, "startTime", &R::startTime},
      {BLRDB_TAG_END_TIME, "endTime", &R::endTime},
      {BLRDB_TAG_STATE, "state", &R::state},
      {BLRDB_TAG_PLAN_RUN_PAIR, "pairs", listOf<&R::pairs>()},
  };
};

}  // namespace blr_fields

using blr_fields::clearFields;
using blr_fields::decodeFields;
using blr_fields::decodeList;
using blr_fields::encodeFields;
using blr_fields::encodeList;
using blr_fields::equalFields;

// Every plan record decodes leniently over a cleared record: what can't be
// read is passed over.
void BlrPlanDB::Member::clear() { clearFields(*this); }
void BlrPlanDB::Member::serialize(DwEbmlWriter& writer) const { encodeFields(writer, *this); }
bool BlrPlanDB::Member::operator==(const Member& o) const { return equalFields(*this, o); }
CZuError BlrPlanDB::Member::unserialize(const void* data, int size) {
  return decodeFields(data, size, *this);
}

void BlrPlanDB::Group::clear() { clearFields(*this); }
void BlrPlanDB::Group::serialize(DwEbmlWriter& writer) const { encodeFields(writer, *this); }
bool BlrPlanDB::Group::operator==(const Group& o) const { return equalFields(*this, o); }
CZuError BlrPlanDB::Group::unserialize(const void* data, int size) {
  return decodeFields(data, size, *this);
}

void BlrPlanDB::Plan::clear() { clearFields(*this); }
void BlrPlanDB::Plan::serialize(DwEbmlWriter& writer) const { encodeFields(writer, *this); }
bool BlrPlanDB::Plan::operator==(const Plan& o) const { return equalFields(*this, o); }
CZuError BlrPlanDB::Plan::unserialize(const void* data, int size) {
  return decodeFields(data, size, *this);
}

void BlrPlanDB::RunPair::clear() { clearFields(*this); }
void BlrPlanDB::RunPair::serialize(DwEbmlWriter& writer) const { encodeFields(writer, *this); }
bool BlrPlanDB::RunPair::operator==(const RunPair& o) const { return equalFields(*this, o); }
CZuError BlrPlanDB::RunPair::unserialize(const void* data, int size) {
  return decodeFields(data, size, *this);
}

void BlrPlanDB::Run::clear() { clearFields(*this); }
void BlrPlanDB::Run::serialize(DwEbmlWriter& writer) const { encodeFields(writer, *this); }
bool BlrPlanDB::Run::operator==(const Run& o) const { return equalFields(*this, o); }
CZuError BlrPlanDB::Run::unserialize(const void* data, int size) {
  return decodeFields(data, size, *this);
}

// ---- Lists ----

std::vector<char> BlrPlanDB::encodePlans(const std::list<Plan>& plans) {
  return encodeList(BLRDB_TAG_PLAN, plans);
}

CZuError BlrPlanDB::decodePlans(const std::vector<char>& bytes, std::list<Plan>* plans) {
  CZuError err = decodeList(bytes, BLRDB_TAG_PLAN, plans);
  if (err.IsError()) err.Push(FXLOC, "Couldn't parse plan list");
  return err;
}

std::vector<char> BlrPlanDB::encodeRuns(const std::list<Run>& runs) {
  return encodeList(BLRDB_TAG_PLAN_RUN, runs);
}

CZuError BlrPlanDB::decodeRuns(const std::vector<char>& bytes, std::list<Run>* runs) {
  CZuError err = decodeList(bytes, BLRDB_TAG_PLAN_RUN, runs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't parse run list");
  return err;
}
