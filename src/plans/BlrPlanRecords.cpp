// Encoding of the recovery plan records.
#include <tuple>

#include "BLR/BlrPlanDB.h"
#include "records/BlrDBTags.h"

namespace {

template <class Record>
void writeNested(DwEbmlWriter& writer, int tag, const Record& record) {
  writer.openContTag(tag, BLRDB_RECORD_BOUND);
  record.serialize(writer);
  writer.closeContTag();
}

template <class Record>
CZuError readNested(DwEbmlParser& parser, int size, std::list<Record>* list) {
  Record record;
  CZuError err = record.unserialize(parser.getPos(), size);
  if (!err.IsError()) list->push_back(std::move(record));
  return err;
}

// One container of `tag` per record.
template <class Record>
std::vector<char> encodeList(int tag, const std::list<Record>& records) {
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  for (const Record& r : records) writeNested(writer, tag, r);
  return writer.getBlob();
}

// The containers of `tag`; `records` is left as it was on failure.
template <class Record>
CZuError decodeList(const std::vector<char>& bytes, int tag, std::list<Record>* records) {
  std::list<Record> decoded;
  CZuError err = dwEbmlForEachElement(bytes.data(), static_cast<int>(bytes.size()),
                                      [&decoded, tag](DwEbmlParser& p, int found, int len) {
                                        if (found == tag) return readNested(p, len, &decoded);
                                        return CZuError();
                                      });
  if (err.IsError()) return err;
  *records = std::move(decoded);
  return CZuError();
}

}  // namespace

// ---- Member ----

void BlrPlanDB::Member::clear() {
  pairId = 0;
  options = 0;
}

void BlrPlanDB::Member::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  writer.writeNumTag(BLRDB_TAG_OPTIONS, options);
}

CZuError BlrPlanDB::Member::unserialize(const void* data, int size) {
  clear();
  return dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    if (tag == BLRDB_TAG_PAIR_ID) p.getNumPayload(len, &pairId);
    if (tag == BLRDB_TAG_OPTIONS) p.getNumPayload(len, &options);
    return CZuError();
  });
}

bool BlrPlanDB::Member::operator==(const Member& o) const {
  return pairId == o.pairId && options == o.options;
}

// ---- Group ----

void BlrPlanDB::Group::clear() {
  parallelism = 0;
  members.clear();
}

void BlrPlanDB::Group::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_PARALLELISM, parallelism);
  for (const Member& m : members) writeNested(writer, BLRDB_TAG_PLAN_MEMBER, m);
}

CZuError BlrPlanDB::Group::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    if (tag == BLRDB_TAG_PARALLELISM) p.getNumPayload(len, &parallelism);
    if (tag == BLRDB_TAG_PLAN_MEMBER) return readNested(p, len, &members);
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

bool BlrPlanDB::Group::operator==(const Group& o) const {
  return parallelism == o.parallelism && members == o.members;
}

// ---- Plan ----

void BlrPlanDB::Plan::clear() {
  id = 0;
  name.clear();
  healthTimeoutSecs = 0;
  created = 0;
  modified = 0;
  groups.clear();
}

void BlrPlanDB::Plan::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeStrTag(BLRDB_TAG_NAME, name);
  writer.writeNumTag(BLRDB_TAG_HEALTH_TIMEOUT, healthTimeoutSecs);
  writer.writeNumTag(BLRDB_TAG_CREATION_TIME, static_cast<unsigned long>(created));
  writer.writeNumTag(BLRDB_TAG_MODIFIED_TIME, static_cast<unsigned long>(modified));
  for (const Group& g : groups) writeNested(writer, BLRDB_TAG_PLAN_GROUP, g);
}

CZuError BlrPlanDB::Plan::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    switch (tag) {
      case BLRDB_TAG_ID: p.getNumPayload(len, &id); break;
      case BLRDB_TAG_NAME: p.getStrPayload(len, &name); break;
      case BLRDB_TAG_HEALTH_TIMEOUT: p.getNumPayload(len, &healthTimeoutSecs); break;
      case BLRDB_TAG_CREATION_TIME: p.getNumPayload(len, &created); break;
      case BLRDB_TAG_MODIFIED_TIME: p.getNumPayload(len, &modified); break;
      case BLRDB_TAG_PLAN_GROUP: return readNested(p, len, &groups);
    }
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

bool BlrPlanDB::Plan::operator==(const Plan& o) const {
  return std::tie(id, name, healthTimeoutSecs, created, modified, groups) ==
         std::tie(o.id, o.name, o.healthTimeoutSecs, o.created, o.modified, o.groups);
}

// ---- RunPair ----

void BlrPlanDB::RunPair::clear() {
  pairId = 0;
  groupNo = 0;
  outcome.clear();
  startTime = 0;
  endTime = 0;
  seqNum = 0;
  lagAtStart = 0;
  exitCode = 0;
  error.clear();
  steps.clear();
}

void BlrPlanDB::RunPair::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  writer.writeNumTag(BLRDB_TAG_GROUP_NO, groupNo);
  writer.writeStrTag(BLRDB_TAG_STATE, outcome);
  writer.writeNumTag(BLRDB_TAG_CREATION_TIME, static_cast<unsigned long>(startTime));
  writer.writeNumTag(BLRDB_TAG_END_TIME, static_cast<unsigned long>(endTime));
  writer.writeNumTag(BLRDB_TAG_SEQ_NUM, static_cast<unsigned long>(seqNum));
  writer.writeNumTag(BLRDB_TAG_LAG_TIME, lagAtStart);
  writer.writeNumTag(BLRDB_TAG_EXIT_CODE, exitCode);
  writer.writeStrTag(BLRDB_TAG_STATUS_MESSAGE, error);
  writer.writeStrTag(BLRDB_TAG_STEPS, steps);
}

CZuError BlrPlanDB::RunPair::unserialize(const void* data, int size) {
  clear();
  return dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    switch (tag) {
      case BLRDB_TAG_PAIR_ID: p.getNumPayload(len, &pairId); break;
      case BLRDB_TAG_GROUP_NO: p.getNumPayload(len, &groupNo); break;
      case BLRDB_TAG_STATE: p.getStrPayload(len, &outcome); break;
      case BLRDB_TAG_CREATION_TIME: p.getNumPayload(len, &startTime); break;
      case BLRDB_TAG_END_TIME: p.getNumPayload(len, &endTime); break;
      case BLRDB_TAG_SEQ_NUM: p.getNumPayload(len, &seqNum); break;
      case BLRDB_TAG_LAG_TIME: p.getNumPayload(len, &lagAtStart); break;
      case BLRDB_TAG_EXIT_CODE: p.getNumPayload(len, &exitCode); break;
      case BLRDB_TAG_STATUS_MESSAGE: p.getStrPayload(len, &error); break;
      case BLRDB_TAG_STEPS: p.getStrPayload(len, &steps); break;
    }
    return CZuError();
  });
}

bool BlrPlanDB::RunPair::operator==(const RunPair& o) const {
  return std::tie(pairId, groupNo, outcome, startTime, endTime, seqNum, lagAtStart, exitCode, error,
                  steps) == std::tie(o.pairId, o.groupNo, o.outcome, o.startTime, o.endTime,
                                     o.seqNum, o.lagAtStart, o.exitCode, o.error, o.steps);
}

// ---- Run ----

void BlrPlanDB::Run::clear() {
  id = 0;
  planId = 0;
  planName.clear();
  workflow.clear();
  user.clear();
  startTime = 0;
  endTime = 0;
  state.clear();
  pairs.clear();
}

void BlrPlanDB::Run::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeNumTag(BLRDB_TAG_PLAN_ID, planId);
  writer.writeStrTag(BLRDB_TAG_NAME, planName);
  writer.writeStrTag(BLRDB_TAG_WORKFLOW, workflow);
  writer.writeStrTag(BLRDB_TAG_USER, user);
  writer.writeNumTag(BLRDB_TAG_CREATION_TIME, static_cast<unsigned long>(startTime));
  writer.writeNumTag(BLRDB_TAG_END_TIME, static_cast<unsigned long>(endTime));
  writer.writeStrTag(BLRDB_TAG_STATE, state);
  for (const RunPair& p : pairs) writeNested(writer, BLRDB_TAG_PLAN_RUN_PAIR, p);
}

CZuError BlrPlanDB::Run::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    switch (tag) {
      case BLRDB_TAG_ID: p.getNumPayload(len, &id); break;
      case BLRDB_TAG_PLAN_ID: p.getNumPayload(len, &planId); break;
      case BLRDB_TAG_NAME: p.getStrPayload(len, &planName); break;
      case BLRDB_TAG_WORKFLOW: p.getStrPayload(len, &workflow); break;
      case BLRDB_TAG_USER: p.getStrPayload(len, &user); break;
      case BLRDB_TAG_CREATION_TIME: p.getNumPayload(len, &startTime); break;
      case BLRDB_TAG_END_TIME: p.getNumPayload(len, &endTime); break;
      case BLRDB_TAG_STATE: p.getStrPayload(len, &state); break;
      case BLRDB_TAG_PLAN_RUN_PAIR: return readNested(p, len, &pairs);
    }
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

bool BlrPlanDB::Run::operator==(const Run& o) const {
  return std::tie(id, planId, planName, workflow, user, startTime, endTime, state, pairs) ==
         std::tie(o.id, o.planId, o.planName, o.workflow, o.user, o.startTime, o.endTime, o.state,
                  o.pairs);
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
