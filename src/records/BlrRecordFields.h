// Records described by tables of their fields.  A record's table lists one
// row per field in wire order: tag, name, member, kind and flags.  Clearing,
// encoding, decoding, comparing and the text checks walk the table, so a field
// is added in one place and every record reads and writes the same way:
// every field is always written, numbers in their shortest big-endian form
// (signed ones sign-extended to 64 bits), texts NUL-terminated, lists as one
// container per element.
#ifndef BLR_SRC_BLRRECORDFIELDS_H
#define BLR_SRC_BLRRECORDFIELDS_H

#include <cstdint>
#include <iterator>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "BLR/BlrDBTexts.h"
#include "BLR/BlrUUID.h"
#include "records/BlrDBTags.h"
#include "DwLink/DwEbml.h"

namespace blr_fields {

enum class Kind { kInt32, kInt64, kUInt64, kText, kUUID, kList };

enum Flag : unsigned {
  kRequired = 1,          // firstMissing reports it when zero or empty
  kNotGiven = 2,          // cleared to -1 ("not given") rather than 0
  kZeroIfUnreadable = 4,  // an unreadable payload sets 0 rather than keeping the value
};

// The stored width of a text, which checkTexts enforces; no units: unchecked.
struct Width {
  int units;
  BlrTextUnit unit;
};

// What a list field needs of its element type, which its row does not name.
template <class Record>
struct ListOps {
  void (*encode)(DwEbmlWriter& writer, int tag, const Record& record);
  CZuError (*decodeOne)(DwEbmlParser& parser, int size, Record& record);
  void (*clear)(Record& record);
  bool (*equal)(const Record& a, const Record& b);
  bool (*empty)(const Record& record);
  CZuError (*checkTexts)(const Record& record, const std::string& prefix);
};

template <class Record>
struct Field {
  constexpr Field(int tag, const char* name, int32_t Record::*m, unsigned flags = 0)
      : tag(tag), name(name), kind(Kind::kInt32), flags(flags), width{}, i32(m) {}
  constexpr Field(int tag, const char* name, int64_t Record::*m, unsigned flags = 0)
      : tag(tag), name(name), kind(Kind::kInt64), flags(flags), width{}, i64(m) {}
  constexpr Field(int tag, const char* name, uint64_t Record::*m, unsigned flags = 0)
      : tag(tag), name(name), kind(Kind::kUInt64), flags(flags), width{}, u64(m) {}
  constexpr Field(int tag, const char* name, std::string Record::*m, unsigned flags = 0,
                  Width width = {})
      : tag(tag), name(name), kind(Kind::kText), flags(flags), width(width), text(m) {}
  constexpr Field(int tag, const char* name, BlrUUID Record::*m, unsigned flags = 0)
      : tag(tag), name(name), kind(Kind::kUUID), flags(flags), width{}, uuid(m) {}
  constexpr Field(int tag, const char* name, const ListOps<Record>* list, unsigned flags = 0)
      : tag(tag), name(name), kind(Kind::kList), flags(flags), width{}, list(list) {}

  int tag;
  const char* name;
  Kind kind;
  unsigned flags;
  Width width;
  union {  // the one `kind` names
    int32_t Record::*i32;
    int64_t Record::*i64;
    uint64_t Record::*u64;
    std::string Record::*text;
    BlrUUID Record::*uuid;
    const ListOps<Record>* list;
  };
};

// Specialised for each record with `static constexpr Field<Record> rows[]`.
template <class Record>
struct FieldTable;

template <class Record>
void clearFields(Record& r) {
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    const int none = f.flags & kNotGiven ? -1 : 0;
    switch (f.kind) {
      case Kind::kInt32: r.*f.i32 = none; break;
      case Kind::kInt64: r.*f.i64 = none; break;
      case Kind::kUInt64: r.*f.u64 = 0; break;
      case Kind::kText: (r.*f.text).clear(); break;
      case Kind::kUUID: (r.*f.uuid).clear(); break;
      case Kind::kList: f.list->clear(r); break;
    }
  }
}

template <class Record>
void encodeFields(DwEbmlWriter& writer, const Record& r) {
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    switch (f.kind) {
      case Kind::kInt32: writer.writeNumTag(f.tag, r.*f.i32); break;
      case Kind::kInt64: writer.writeNumTag(f.tag, static_cast<long>(r.*f.i64)); break;
      case Kind::kUInt64: writer.writeNumTag(f.tag, static_cast<unsigned long>(r.*f.u64)); break;
      case Kind::kText: writer.writeStrTag(f.tag, r.*f.text); break;
      case Kind::kUUID: writer.writeUUIDTag(f.tag, (r.*f.uuid).data()); break;
      case Kind::kList: f.list->encode(writer, f.tag, r); break;
    }
  }
}

template <class Record>
bool equalFields(const Record& a, const Record& b) {
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    bool same = true;
    switch (f.kind) {
      case Kind::kInt32: same = a.*f.i32 == b.*f.i32; break;
      case Kind::kInt64: same = a.*f.i64 == b.*f.i64; break;
      case Kind::kUInt64: same = a.*f.u64 == b.*f.u64; break;
      case Kind::kText: same = a.*f.text == b.*f.text; break;
      case Kind::kUUID: same = a.*f.uuid == b.*f.uuid; break;
      case Kind::kList: same = f.list->equal(a, b); break;
    }
    if (!same) return false;
  }
  return true;
}

// The row of `tag`, or null.  Elements mostly come in table order, so the
// search starts after the row found last (`*next`).
template <class Record>
const Field<Record>* findField(int tag, size_t* next) {
  const auto& rows = FieldTable<Record>::rows;
  const size_t count = std::size(rows);
  for (size_t k = 0; k < count; ++k) {
    const size_t i = (*next + k) % count;
    if (rows[i].tag == tag) {
      *next = i + 1;
      return &rows[i];
    }
  }
  return nullptr;
}

template <class Number>
CZuError readNumber(DwEbmlParser& parser, int size, Number& out, unsigned flags) {
  CZuError err = parser.getNumPayload(size, &out);
  if (err.IsError() && (flags & kZeroIfUnreadable)) out = 0;
  return err;
}

template <class Record>
CZuError readField(const Field<Record>& f, DwEbmlParser& parser, int size, Record& r) {
  switch (f.kind) {
    case Kind::kInt32: return readNumber(parser, size, r.*f.i32, f.flags);
    case Kind::kInt64: return readNumber(parser, size, r.*f.i64, f.flags);
    case Kind::kUInt64: return readNumber(parser, size, r.*f.u64, f.flags);
    case Kind::kText: return parser.getStrPayload(size, &(r.*f.text));
    case Kind::kUUID: return parser.getUUIDPayload(size, (r.*f.uuid).data());
    case Kind::kList: return f.list->decodeOne(parser, size, r);
  }
  return CZuError();
}

template <class Record>
CZuError decodeElements(const void* data, int size, Record& r, bool whole) {
  DwEbmlParser parser(data, size > 0 ? static_cast<unsigned long>(size) : 0);
  size_t next = 0;
  while (!parser.atEnd()) {
    int tag = 0, len = 0;
    CZuError err = parser.getNextTag(&tag, &len);
    if (err.IsError()) return whole ? err : CZuError();
    const uint8_t* end = parser.getPos() + len;
    if (const Field<Record>* f = findField<Record>(tag, &next)) {
      err = readField(*f, parser, len, r);
      if (err.IsError() && (whole || f->kind == Kind::kList)) return err;
    }
    parser.skipPayload(static_cast<int>(end - parser.getPos()));
  }
  return CZuError();
}

// Clears `r` (with the record's own clear) and reads the elements of `data`
// into it leniently: unknown tags are skipped, the last of a repeated tag
// wins, a header that can't be read ends the record with success and a
// scalar that can't be read is passed over.  Only a failing nested record
// fails; what was read before it is kept.
template <class Record>
CZuError decodeFields(const void* data, int size, Record& r) {
  r.clear();
  return decodeElements(data, size, r, false);
}

// All of `data` or nothing: any header or payload that can't be read fails,
// and `r` is replaced (cleared first) only when every element reads.
template <class Record>
CZuError decodeWhole(const void* data, int size, Record& r) {
  Record decoded;
  CZuError err = decodeElements(data, size, decoded, true);
  if (!err.IsError()) r = std::move(decoded);
  return err;
}

// The first text longer than its width (or holding a NUL), named by `prefix`
// and its row; list elements are checked as "<list>[<index>].".
template <class Record>
CZuError checkTexts(const Record& r, const std::string& prefix = std::string()) {
  CZuError err;
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    if (f.kind == Kind::kText && f.width.units > 0)
      err = blrCheckText((prefix + f.name).c_str(), r.*f.text, f.width.units, f.width.unit);
    if (f.kind == Kind::kList) err = f.list->checkTexts(r, prefix + f.name);
    if (err.IsError()) break;
  }
  return err;
}

// The first row flagged kRequired whose field is zero or empty, or null.
template <class Record>
const Field<Record>* firstMissing(const Record& r) {
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    if (!(f.flags & kRequired)) continue;
    bool missing = false;
    switch (f.kind) {
      case Kind::kInt32: missing = r.*f.i32 == 0; break;
      case Kind::kInt64: missing = r.*f.i64 == 0; break;
      case Kind::kUInt64: missing = r.*f.u64 == 0; break;
      case Kind::kText: missing = (r.*f.text).empty(); break;
      case Kind::kUUID: missing = (r.*f.uuid).empty(); break;
      case Kind::kList: missing = f.list->empty(r); break;
    }
    if (missing) return &f;
  }
  return nullptr;
}

// One nested record as a container of `tag`.
template <class Element>
void writeContainer(DwEbmlWriter& writer, int tag, const Element& e) {
  writer.openContTag(tag, BLRDB_RECORD_BOUND);
  e.serialize(writer);
  writer.closeContTag();
}

// Decodes the nested record at the parser and appends it to `list`; one that
// fails is not kept.  Decoded in place: a record is costly to move.
template <class List>
CZuError appendDecoded(DwEbmlParser& parser, int size, List& list) {
  list.emplace_back();
  CZuError err = list.back().unserialize(parser.getPos(), size);
  if (err.IsError()) list.pop_back();
  return err;
}

// A list of records as one container of `tag` per record.
template <class Record>
std::vector<char> encodeList(int tag, const std::list<Record>& records) {
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  for (const Record& r : records) writeContainer(writer, tag, r);
  return writer.getBlob();
}

// The containers of `tag`; `records` is left as it was on failure.
template <class Record>
CZuError decodeList(const std::vector<char>& bytes, int tag, std::list<Record>* records) {
  std::list<Record> decoded;
  CZuError err = dwEbmlForEachElement(bytes.data(), static_cast<int>(bytes.size()),
                                      [&decoded, tag](DwEbmlParser& p, int found, int len) {
                                        if (found != tag) return CZuError();
                                        return appendDecoded(p, len, decoded);
                                      });
  if (err.IsError()) return err;
  *records = std::move(decoded);
  return CZuError();
}

// The ListOps of list member `M` (a std::list<Element> Record::*), whose
// elements are records of their own with serialize and unserialize.
template <class Member>
struct ListMember;
template <class Record, class Element>
struct ListMember<std::list<Element> Record::*> {
  using RecordType = Record;
  using ElementType = Element;
};

template <auto M>
struct ListField {
  using Record = typename ListMember<decltype(M)>::RecordType;
  using Element = typename ListMember<decltype(M)>::ElementType;

  static void encode(DwEbmlWriter& writer, int tag, const Record& r) {
    for (const Element& e : r.*M) writeContainer(writer, tag, e);
  }
  static CZuError decodeOne(DwEbmlParser& parser, int size, Record& r) {
    return appendDecoded(parser, size, r.*M);
  }
  static void clear(Record& r) { (r.*M).clear(); }
  static bool equal(const Record& a, const Record& b) { return a.*M == b.*M; }
  static bool empty(const Record& r) { return (r.*M).empty(); }
  static CZuError checkTexts(const Record& r, const std::string& prefix) {
    size_t index = 0;
    for (const Element& e : r.*M) {
      CZuError err = blr_fields::checkTexts(e, prefix + "[" + std::to_string(index++) + "].");
      if (err.IsError()) return err;
    }
    return CZuError();
  }

  static constexpr ListOps<Record> ops = {&encode, &decodeOne, &clear, &equal, &empty, &checkTexts};
};

// The row value of list member `M`: {tag, name, listOf<&Record::member>(), flags}.
template <auto M>
constexpr const ListOps<typename ListField<M>::Record>* listOf() {
  return &ListField<M>::ops;
}

}  // namespace blr_fields

#endif  // BLR_SRC_BLRRECORDFIELDS_H
