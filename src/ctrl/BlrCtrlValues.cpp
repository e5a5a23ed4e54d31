// The tag values of control messages, and their encoding by a message's row.
#include "BLR/BlrCtrl.h"

#include <exception>
#include <string>

#include "DwLink/DwEbml.h"

BlrCtrlValues& BlrCtrlValues::set(int tag, uint64_t value) {
  nums_[tag] = value;
  return *this;
}

BlrCtrlValues& BlrCtrlValues::setVm(const BlrUUID& vm) {
  vm_ = vm;
  hasVm_ = true;
  return *this;
}

BlrCtrlValues& BlrCtrlValues::setPairs(const std::list<BlrDB::Pair>& pairs) {
  pairs_ = pairs;
  hasPairs_ = true;
  return *this;
}

BlrCtrlValues& BlrCtrlValues::setText(int tag, const std::string& text) {
  texts_[tag] = text;
  return *this;
}

void BlrCtrlValues::erase(int tag) {
  nums_.erase(tag);
  texts_.erase(tag);
  if (tag == BLR_CTRL_TAG_VM_UUID) vm_ = BlrUUID(), hasVm_ = false;
  if (tag == BLR_CTRL_TAG_PAIR_LIST) pairs_.clear(), hasPairs_ = false;
}

bool BlrCtrlValues::has(int tag) const {
  if (tag == BLR_CTRL_TAG_VM_UUID) return hasVm_;
  if (tag == BLR_CTRL_TAG_PAIR_LIST) return hasPairs_;
  return nums_.count(tag) != 0 || texts_.count(tag) != 0;
}

bool BlrCtrlValues::given(int tag) const {
  if (tag == BLR_CTRL_TAG_VM_UUID) return hasVm_ && !vm_.empty();
  if (tag == BLR_CTRL_TAG_PAIR_LIST) return hasPairs_;
  if (texts_.count(tag) != 0) return true;
  return num(tag) != 0;
}

uint64_t BlrCtrlValues::num(int tag) const {
  auto it = nums_.find(tag);
  return it != nums_.end() ? it->second : 0;
}

std::string BlrCtrlValues::text(int tag) const {
  auto it = texts_.find(tag);
  return it != texts_.end() ? it->second : std::string();
}

int BlrCtrlValues::missing(const BlrCtrlMsgRow& row) const {
  for (int tag : row.required.tags)
    if (tag != 0 && !given(tag)) return tag;
  return 0;
}

std::string BlrCtrlValues::describe() const {
  std::string text;
  auto add = [&text](int tag, const std::string& value) {
    const BlrCtrlTagRow* row = blrCtrlTagRow(tag);
    text += (text.empty() ? "" : ", ") + std::string(row != nullptr ? row->what : "tag") + "=" +
            value;
  };
  if (hasVm_) add(BLR_CTRL_TAG_VM_UUID, vm_.toHex());
  if (hasPairs_) add(BLR_CTRL_TAG_PAIR_LIST, std::to_string(pairs_.size()) + " pairs");
  for (const auto& [tag, value] : nums_) {
    const BlrCtrlTagRow* row = blrCtrlTagRow(tag);
    bool narrow = row != nullptr && row->kind == BLR_CTRL_KIND_NUM32;
    add(tag, narrow ? std::to_string(static_cast<int32_t>(value)) : std::to_string(value));
  }
  for (const auto& [tag, value] : texts_) add(tag, "\"" + value + "\"");
  return text;
}

namespace {

// Tag and size field (3 bytes up to 2 MiB) before an encoded pair list.
constexpr int kPairListHeader = 4;

void writeTag(const BlrCtrlValues& values, int tag, DwEbmlWriter& writer) {
  switch (blrCtrlTagRow(tag)->kind) {
    case BLR_CTRL_KIND_UUID:
      writer.writeUUIDTag(tag, values.vm().data());
      break;
    case BLR_CTRL_KIND_PAIR_LIST:
      writer.openContTag(tag, BLR_CTRL_MAX_PAIR_LIST_LEN);
      BlrDB::PairList(values.pairs()).serialize(writer);
      writer.closeContTag();
      break;
    case BLR_CTRL_KIND_TEXT:
      writer.writeStrTag(tag, values.text(tag));
      break;
    default:
      writer.writeNumTag(tag, static_cast<unsigned long>(values.num(tag)));
  }
}

CZuError readTag(DwEbmlParser& parser, int tag, int size, BlrCtrlValues* out) {
  CZuError err;
  switch (blrCtrlTagRow(tag)->kind) {
    case BLR_CTRL_KIND_UUID: {
      BlrUUID vm;
      err = parser.getUUIDPayload(size, vm.data());
      if (!err.IsError()) out->setVm(vm);
      break;
    }
    case BLR_CTRL_KIND_PAIR_LIST: {
      BlrDB::PairList pairs;
      err = pairs.unserialize(parser.getPos(), size);
      parser.skipPayload(size);
      if (!err.IsError()) out->setPairs(pairs);
      break;
    }
    case BLR_CTRL_KIND_TEXT: {
      std::string text;
      err = parser.getStrPayload(size, &text);
      if (!err.IsError()) out->setText(tag, text);
      break;
    }
    default: {
      uint64_t value = 0;
      err = parser.getNumPayload(size, &value);
      if (!err.IsError()) out->set(tag, value);
    }
  }
  return err;
}

CZuError decodeTags(const void* data, int len, std::initializer_list<const BlrCtrlTags*> wanted,
                    BlrCtrlValues* out) {
  BlrCtrlValues values;
  DwEbmlParser parser(data, len > 0 ? static_cast<unsigned long>(len) : 0);
  while (!parser.atEnd()) {
    int tag = 0, size = 0;
    CZuError err = parser.getNextTag(&tag, &size);
    if (err.IsError()) return err;
    bool listed = false;
    for (const BlrCtrlTags* list : wanted) listed = listed || list->has(tag);
    err = listed ? readTag(parser, tag, size, &values) : parser.skipPayload(size);
    if (err.IsError()) {
      const BlrCtrlTagRow* row = blrCtrlTagRow(tag);
      return err.Push(FXLOC, "Couldn't read the %s", row != nullptr ? row->what : "tag");
    }
  }
  *out = std::move(values);
  return CZuError();
}

constexpr BlrCtrlTags kStatusTags = {{BLR_CTRL_TAG_ERROR_CODE, BLR_CTRL_TAG_ERROR_TEXT}};

}  // namespace

CZuError BlrCtrlValues::encodeRequest(const BlrCtrlMsgRow& row, std::vector<char>* out) const {
  try {
    DwEbmlBuffer block(256);
    DwEbmlWriter writer(block, 0);
    int listLen = 0;
    for (const BlrCtrlTags* list : {&row.required, &row.optional}) {
      for (int tag : list->tags) {
        if (tag == 0 || !has(tag)) continue;
        int before = writer.getSize();
        writeTag(*this, tag, writer);
        if (tag == BLR_CTRL_TAG_PAIR_LIST) listLen = writer.getSize() - before - kPairListHeader;
      }
    }
    // The list's container is bounded; a longer list would not decode.
    if (listLen > BLR_CTRL_MAX_PAIR_LIST_LEN)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "List of %d pairs takes %d bytes; at most %d fit",
                                   static_cast<int>(pairs_.size()), listLen,
                                   BLR_CTRL_MAX_PAIR_LIST_LEN);
    *out = writer.getBlob();
    return CZuError();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't encode %s request: %s", row.name, e.what());
  }
}

CZuError BlrCtrlValues::decodeRequest(const BlrCtrlMsgRow& row, const void* data, int len,
                                      BlrCtrlValues* out) {
  return decodeTags(data, len, {&row.required, &row.optional}, out);
}

CZuError BlrCtrlValues::decodeReply(const BlrCtrlMsgRow& row, const void* data, int len,
                                    BlrCtrlValues* out) {
  return decodeTags(data, len, {&row.results, &kStatusTags}, out);
}
