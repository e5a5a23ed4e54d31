// Encoding of the recovery plan records.
#include <tuple>

#include "BLR/BlrPlanDB.h"
#include "BlrDBTags.h"

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
      case BLRDB_TAG_ID:
        p.getNumPayload(len, &id);
        break;
      case BLRDB_TAG_NAME:
        p.getStrPayload(len, &name);
        break;
      case BLRDB_TAG_HEALTH_TIMEOUT:
        p.getNumPayload(len, &healthTimeoutSecs);
        break;
      case BLRDB_TAG_CREATION_TIME:
        p.getNumPayload(len, &created);
        break;
      case BLRDB_TAG_MODIFIED_TIME:
        p.getNumPayload(len, &modified);
        break;
      case BLRDB_TAG_PLAN_GROUP:
        return readNested(p, len, &groups);
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

// ---- Plan lists ----

std::vector<char> BlrPlanDB::encodePlans(const std::list<Plan>& plans) {
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  for (const Plan& plan : plans) writeNested(writer, BLRDB_TAG_PLAN, plan);
  return writer.getBlob();
}

CZuError BlrPlanDB::decodePlans(const std::vector<char>& bytes, std::list<Plan>* plans) {
  std::list<Plan> decoded;
  CZuError err = dwEbmlForEachElement(bytes.data(), static_cast<int>(bytes.size()),
                                      [&decoded](DwEbmlParser& p, int tag, int len) {
                                        if (tag == BLRDB_TAG_PLAN)
                                          return readNested(p, len, &decoded);
                                        return CZuError();
                                      });
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse plan list");
  *plans = std::move(decoded);
  return CZuError();
}
