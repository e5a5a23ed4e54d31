// The tables of fields of the recovery plan records, in wire order
// (BlrRecordFields.h says what a row holds), with the widths the plan
// database stores.  Plans, run pairs and runs are read from their SQL
// tables as columns in the same order.
#ifndef BLR_SRC_BLRPLANFIELDS_H
#define BLR_SRC_BLRPLANFIELDS_H

#include "BLR/BlrPlanDB.h"
#include "records/BlrDBTags.h"
#include "records/BlrRecordFields.h"

namespace blr_fields {

using M = BlrPlanDB::Member;
using G = BlrPlanDB::Group;
using PL = BlrPlanDB::Plan;
using RP = BlrPlanDB::RunPair;
using R = BlrPlanDB::Run;

constexpr Width kPlanName{static_cast<int>(BlrPlanDB::kMaxNameBytes), BlrTextUnit::kBytes};
constexpr Width kWord{static_cast<int>(BlrPlanDB::kMaxWordBytes), BlrTextUnit::kBytes};

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
      {BLRDB_TAG_NAME, "name", &PL::name, 0, kPlanName},
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
      {BLRDB_TAG_STATE, "outcome", &RP::outcome, 0, kWord},
      {BLRDB_TAG_CREATION_TIME, "startTime", &RP::startTime},
      {BLRDB_TAG_END_TIME, "endTime", &RP::endTime},
      {BLRDB_TAG_SEQ_NUM, "seqNum", &RP::seqNum},
      {BLRDB_TAG_LAG_TIME, "lagAtStart", &RP::lagAtStart},
      {BLRDB_TAG_EXIT_CODE, "exitCode", &RP::exitCode},
      {BLRDB_TAG_STATUS_MESSAGE, "error", &RP::error, 0,
       {static_cast<int>(BlrPlanDB::kMaxErrorBytes), BlrTextUnit::kBytes}},
      {BLRDB_TAG_STEPS, "steps", &RP::steps, 0,
       {static_cast<int>(BlrPlanDB::kMaxStepsBytes), BlrTextUnit::kBytes}},
  };
};

template <>
struct FieldTable<R> {
  static constexpr Field<R> rows[] = {
      {BLRDB_TAG_ID, "id", &R::id},
      {BLRDB_TAG_PLAN_ID, "planId", &R::planId},
      {BLRDB_TAG_NAME, "planName", &R::planName, 0, kPlanName},
      {BLRDB_TAG_WORKFLOW, "workflow", &R::workflow, 0, kWord},
      {BLRDB_TAG_USER, "user", &R::user, 0, kWord},
      {BLRDB_TAG_CREATION_TIME, "startTime", &R::startTime},
      {BLRDB_TAG_END_TIME, "endTime", &R::endTime},
      {BLRDB_TAG_STATE, "state", &R::state, 0, kWord},
      {BLRDB_TAG_PLAN_RUN_PAIR, "pairs", listOf<&R::pairs>()},
  };
};

}  // namespace blr_fields

#endif  // BLR_SRC_BLRPLANFIELDS_H
