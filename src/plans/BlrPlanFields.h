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

constexpr Width kPlanName{static_cast<int>(BlrPlanDB::kMaxNameBytes), BlrTextUnit::kBytes};
constexpr Width kWord{static_cast<int>(BlrPlanDB::kMaxWordBytes), BlrTextUnit::kBytes};

template <> struct FieldTable<BlrPlanDB::Member> {
  static constexpr Field<BlrPlanDB::Member> rows[] = {
      {BLRDB_TAG_PAIR_ID, "pairId", &BlrPlanDB::Member::pairId},
      {BLRDB_TAG_OPTIONS, "options", &BlrPlanDB::Member::options},
  };
};

template <> struct FieldTable<BlrPlanDB::Group> {
  static constexpr Field<BlrPlanDB::Group> rows[] = {
      {BLRDB_TAG_PARALLELISM, "parallelism", &BlrPlanDB::Group::parallelism},
      {BLRDB_TAG_PLAN_MEMBER, "members", listOf<&BlrPlanDB::Group::members>()},
  };
};

template <> struct FieldTable<BlrPlanDB::Plan> {
  using PL = BlrPlanDB::Plan;
  static constexpr Field<PL> rows[] = {
      {BLRDB_TAG_ID, "id", &PL::id},
      {BLRDB_TAG_NAME, "name", &PL::name, 0, kPlanName},
      {BLRDB_TAG_HEALTH_TIMEOUT, "healthTimeoutSecs", &PL::healthTimeoutSecs},
      {BLRDB_TAG_RTO_TARGET, "rtoSeconds", &PL::rtoSeconds},
      {BLRDB_TAG_RPO_TARGET, "rpoSeconds", &PL::rpoSeconds},
      {BLRDB_TAG_CREATION_TIME, "created", &PL::created},
      {BLRDB_TAG_MODIFIED_TIME, "modified", &PL::modified},
      {BLRDB_TAG_PLAN_GROUP, "groups", listOf<&PL::groups>()},
  };
};

template <> struct FieldTable<BlrPlanDB::RunPair> {
  static constexpr Field<BlrPlanDB::RunPair> rows[] = {
      {BLRDB_TAG_PAIR_ID, "pairId", &BlrPlanDB::RunPair::pairId},
      {BLRDB_TAG_GROUP_NO, "groupNo", &BlrPlanDB::RunPair::groupNo},
      {BLRDB_TAG_STATE, "outcome", &BlrPlanDB::RunPair::outcome, 0, kWord},
      {BLRDB_TAG_CREATION_TIME, "startTime", &BlrPlanDB::RunPair::startTime},
      {BLRDB_TAG_END_TIME, "endTime", &BlrPlanDB::RunPair::endTime},
      {BLRDB_TAG_SEQ_NUM, "seqNum", &BlrPlanDB::RunPair::seqNum},
      {BLRDB_TAG_LAG_TIME, "lagAtStart", &BlrPlanDB::RunPair::lagAtStart},
      {BLRDB_TAG_EXIT_CODE, "exitCode", &BlrPlanDB::RunPair::exitCode},
      {BLRDB_TAG_STATUS_MESSAGE, "error", &BlrPlanDB::RunPair::error, 0,
       {static_cast<int>(BlrPlanDB::kMaxErrorBytes), BlrTextUnit::kBytes}},
      {BLRDB_TAG_STEPS, "steps", &BlrPlanDB::RunPair::steps, 0,
       {static_cast<int>(BlrPlanDB::kMaxStepsBytes), BlrTextUnit::kBytes}},
  };
};

template <> struct FieldTable<BlrPlanDB::Run> {
  using R = BlrPlanDB::Run;
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
      {BLRDB_TAG_PAIR_ID, "pairId", &R::pairId},
      {BLRDB_TAG_RUN_OPTIONS, "options", &R::options, 0,
       {static_cast<int>(BlrPlanDB::kMaxOptionsBytes), BlrTextUnit::kBytes}},
      {BLRDB_TAG_ACTOR, "actor", &R::actor, 0, kPlanName},
      {BLRDB_TAG_HOST, "host", &R::host, 0, kWord},
      {BLRDB_TAG_RUNNER, "runner", &R::runner, 0, kWord},
      {BLRDB_TAG_LEASE_UNTIL, "leaseUntil", &R::leaseUntil},
      {BLRDB_TAG_STOP_REQUESTED, "stopRequested", &R::stopRequested},
  };
};

}  // namespace blr_fields

#endif  // BLR_SRC_BLRPLANFIELDS_H
