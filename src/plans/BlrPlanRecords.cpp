// Encoding of the recovery plan records, by their tables of fields
// (BlrPlanFields.h).
#include "BLR/BlrPlanDB.h"
#include "records/BlrDBTags.h"
#include "plans/BlrPlanFields.h"

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
