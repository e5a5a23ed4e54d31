// Records described by tables of their fields.  A record's table lists one
// row per field in wire order: tag, name, member, flags and a text's stored
// width.  Clearing, encoding, decoding, comparing, the text checks and the
// required fields walk the table, so a field is added in one place and every
// record reads and writes the same way: every field is always written,
// numbers in their shortest big-endian form (signed ones sign-extended to 64
// bits), texts NUL-terminated, lists as one container per element.
//
// The walks that run per record (clear, encode, compare) are unrolled at
// compile time over the rows, so they compile to the same straight-line code
// a record written by hand would; decoding finds a row by its tag through an
// index built once per table.
#ifndef BLR_SRC_BLRRECORDFIELDS_H
#define BLR_SRC_BLRRECORDFIELDS_H

#include <array>
#include <cstdint>
#include <iterator>
#include <list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "BLR/BlrDBTexts.h"
#include "BLR/BlrUUID.h"
#include "DwLink/DwEbml.h"
#include "records/BlrDBTags.h"

namespace blr_fields {

enum class Kind : uint8_t { kInt32, kInt64, kUInt64, kText, kUUID, kList };

enum Flag : unsigned {
  kRequired = 1,          // firstMissing reports it when zero or empty
  kNotGiven = 2,          // cleared to -1 ("not given") rather than 0
  kZeroIfUnreadable = 4,  // an unreadable payload sets 0 rather than keeping the value
  kKeptByClear = 8,       // clear leaves it alone (the service fills it in)
  kNotStored = 16,        // no column of the record's SQL table (BlrRecordColumns.h)
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
  CZuError (*decodeOneWhole)(DwEbmlParser& parser, int size, Record& record);
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

// Specialised for each record with `static constexpr Field<Record> rows[]`;
// the table of a record read all or nothing derives from WholeRecord.
template <class Record>
struct FieldTable;

struct WholeRecord {
  static constexpr bool whole = true;
};

template <class Record, class = void>
struct DecodedWhole : std::false_type {};
template <class Record>
struct DecodedWhole<Record, std::void_t<decltype(FieldTable<Record>::whole)>>
    : std::bool_constant<FieldTable<Record>::whole> {};

template <class Record>
constexpr size_t rowCount() {
  return std::size(FieldTable<Record>::rows);
}

// Calls fn(std::integral_constant<size_t, I>) for every row I, unrolled.
template <class Record, class Fn, size_t... I>
[[gnu::always_inline]] inline void visitRows(Fn&& fn, std::index_sequence<I...>) {
  (fn(std::integral_constant<size_t, I>{}), ...);
}
template <class Record, class Fn>
[[gnu::always_inline]] inline void visitRows(Fn&& fn) {
  visitRows<Record>(fn, std::make_index_sequence<rowCount<Record>()>{});
}

#define BLR_ROW(Record, i) (FieldTable<Record>::rows[decltype(i)::value])

template <class Record>
inline void clearFields(Record& r) {
  visitRows<Record>([&r](auto i) {
    constexpr const Field<Record>& f = BLR_ROW(Record, i);
    constexpr int none = f.flags & kNotGiven ? -1 : 0;
    if constexpr (f.flags & kKeptByClear) {
    } else if constexpr (f.kind == Kind::kInt32) {
      r.*f.i32 = none;
    } else if constexpr (f.kind == Kind::kInt64) {
      r.*f.i64 = none;
    } else if constexpr (f.kind == Kind::kUInt64) {
      r.*f.u64 = 0;
    } else if constexpr (f.kind == Kind::kText) {
      (r.*f.text).clear();
    } else if constexpr (f.kind == Kind::kUUID) {
      (r.*f.uuid).clear();
    } else {
      f.list->clear(r);
    }
  });
}

template <class Record>
inline void encodeFields(DwEbmlWriter& writer, const Record& r) {
  visitRows<Record>([&writer, &r](auto i) {
    constexpr const Field<Record>& f = BLR_ROW(Record, i);
    if constexpr (f.kind == Kind::kInt32) {
      writer.writeNumTag(f.tag, r.*f.i32);
    } else if constexpr (f.kind == Kind::kInt64) {
      writer.writeNumTag(f.tag, static_cast<long>(r.*f.i64));
    } else if constexpr (f.kind == Kind::kUInt64) {
      writer.writeNumTag(f.tag, static_cast<unsigned long>(r.*f.u64));
    } else if constexpr (f.kind == Kind::kText) {
      writer.writeStrTag(f.tag, r.*f.text);
    } else if constexpr (f.kind == Kind::kUUID) {
      writer.writeUUIDTag(f.tag, (r.*f.uuid).data());
    } else {
      f.list->encode(writer, f.tag, r);
    }
  });
}

template <class Record>
inline bool equalFields(const Record& a, const Record& b) {
  bool same = true;
  visitRows<Record>([&](auto i) {
    constexpr const Field<Record>& f = BLR_ROW(Record, i);
    if (!same) return;
    if constexpr (f.kind == Kind::kInt32) {
      same = a.*f.i32 == b.*f.i32;
    } else if constexpr (f.kind == Kind::kInt64) {
      same = a.*f.i64 == b.*f.i64;
    } else if constexpr (f.kind == Kind::kUInt64) {
      same = a.*f.u64 == b.*f.u64;
    } else if constexpr (f.kind == Kind::kText) {
      same = a.*f.text == b.*f.text;
    } else if constexpr (f.kind == Kind::kUUID) {
      same = a.*f.uuid == b.*f.uuid;
    } else {
      same = f.list->equal(a, b);
    }
  });
  return same;
}

#undef BLR_ROW

// Row positions by tag, built at compile time: tags are small numbers, so a
// byte per tag up to the largest finds a row with one load.
template <class Record>
struct TagIndex {
  static constexpr int maxTag() {
    int top = 0;
    for (const Field<Record>& f : FieldTable<Record>::rows) top = f.tag > top ? f.tag : top;
    return top;
  }
  static constexpr std::array<uint8_t, maxTag() + 1> build() {
    std::array<uint8_t, maxTag() + 1> slots{};
    for (size_t i = 0; i < rowCount<Record>(); ++i)
      slots[FieldTable<Record>::rows[i].tag] = static_cast<uint8_t>(i + 1);
    return slots;
  }
  static constexpr std::array<uint8_t, maxTag() + 1> slots = build();
  static_assert(rowCount<Record>() < 255, "row positions are kept in bytes");
};

// The row of `tag`, or null.
template <class Record>
inline const Field<Record>* findField(int tag) {
  using Index = TagIndex<Record>;
  if (tag < 0 || static_cast<size_t>(tag) >= Index::slots.size()) return nullptr;
  const uint8_t slot = Index::slots[static_cast<size_t>(tag)];
  return slot ? &FieldTable<Record>::rows[slot - 1] : nullptr;
}

template <class Number>
inline CZuError readNumber(DwEbmlParser& parser, int size, Number& out, unsigned flags) {
  CZuError err = parser.getNumPayload(size, &out);
  if (err.IsError() && (flags & kZeroIfUnreadable)) out = 0;
  return err;
}

// Reads one payload straight into its member; a text is assigned into the
// storage the member has.
template <class Record, bool whole>
inline CZuError readField(const Field<Record>& f, DwEbmlParser& parser, int size, Record& r) {
  switch (f.kind) {
    case Kind::kInt32: return readNumber(parser, size, r.*f.i32, f.flags);
    case Kind::kInt64: return readNumber(parser, size, r.*f.i64, f.flags);
    case Kind::kUInt64: return readNumber(parser, size, r.*f.u64, f.flags);
    case Kind::kText: return parser.getStrPayload(size, &(r.*f.text));
    case Kind::kUUID: return parser.getUUIDPayload(size, (r.*f.uuid).data());
    case Kind::kList:
      return whole ? f.list->decodeOneWhole(parser, size, r) : f.list->decodeOne(parser, size, r);
  }
  return CZuError();
}

// Where decoding stands: on an element's payload, at the end, or stopped by
// a failure.
struct DecodeState {
  enum { kElement, kEnd, kBadHeader, kFailed } at;
  int tag;
  int len;
  CZuError err;
};

// Reads the next header into `s` (its payload is at the parser).
inline void nextElement(DwEbmlParser& parser, DecodeState& s) {
  if (parser.atEnd()) {
    s.at = DecodeState::kEnd;
    return;
  }
  s.err = parser.getNextTag(&s.tag, &s.len);
  s.at = s.err.IsError() ? DecodeState::kBadHeader : DecodeState::kElement;
}

// Reads the element at `s` with row `f` and moves on to the next header.
template <class Record, bool whole>
[[gnu::always_inline]] inline void readElement(const Field<Record>& f, DwEbmlParser& parser, DecodeState& s, Record& r) {
  const uint8_t* end = parser.getPos() + s.len;
  CZuError err = readField<Record, whole>(f, parser, s.len, r);
  if (err.IsError() && (whole || f.kind == Kind::kList)) {
    s.err = err;
    s.at = DecodeState::kFailed;
    return;
  }
  parser.skipPayload(static_cast<int>(end - parser.getPos()));
  nextElement(parser, s);
}

// Reads the elements of `data` into `r` over what it holds.  Whole: any
// header or payload that can't be read fails (and `r` holds part of the
// data).  Otherwise leniently: a header that can't be read ends the record
// with success and a scalar that can't be read is passed over; only a
// failing nested record fails, with what was read before it kept.  Unknown
// tags are skipped and the last of a repeated tag wins either way.
//
// Encoders write every field in table order, so elements are first matched
// against the rows in turn, each row's read compiled for its kind and
// member; from the first element out of that order on, rows are found by
// tag.
template <class Record, bool whole>
[[gnu::flatten]] CZuError decodeElements(const void* data, int size, Record& r) {
  DwEbmlParser parser(data, size > 0 ? static_cast<unsigned long>(size) : 0);
  DecodeState s{DecodeState::kEnd, 0, 0, CZuError()};
  nextElement(parser, s);
  visitRows<Record>([&](auto i) {
    static constexpr const Field<Record>& f = FieldTable<Record>::rows[decltype(i)::value];
    // A list's elements follow one another.
    while (s.at == DecodeState::kElement && s.tag == f.tag) {
      readElement<Record, whole>(f, parser, s, r);
      if (f.kind != Kind::kList) break;
    }
  });
  while (s.at == DecodeState::kElement) {
    if (const Field<Record>* f = findField<Record>(s.tag)) {
      readElement<Record, whole>(*f, parser, s, r);
    } else {
      parser.skipPayload(s.len);
      nextElement(parser, s);
    }
  }
  if (s.at == DecodeState::kFailed || (whole && s.at == DecodeState::kBadHeader)) return s.err;
  return CZuError();
}

// Decodes into a record that was just constructed, hence cleared: nothing to
// clear, nothing to keep on failure (the caller drops it).
template <class Record>
inline CZuError decodeFresh(const void* data, int size, Record& r) {
  return decodeElements<Record, DecodedWhole<Record>::value>(data, size, r);
}

// All of `data` or nothing, nested records included: every header and every
// payload of a known field must read (unknown tags are skipped).  `r` is
// replaced only then.  What a request's body must be.
template <class Record>
CZuError decodeWholly(const void* data, int size, Record& r) {
  Record decoded;
  CZuError err = decodeElements<Record, true>(data, size, decoded);
  if (err.IsError()) return err.Push(FXLOC);
  r = std::move(decoded);
  return CZuError();
}

// A record's own unserialize.  Lenient records are cleared (with the
// record's own clear) and read over; whole ones are replaced only when every
// element reads, and left as they were otherwise.
template <class Record>
CZuError decodeFields(const void* data, int size, Record& r) {
  CZuError err;
  if constexpr (DecodedWhole<Record>::value) {
    Record decoded;
    err = decodeFresh(data, size, decoded);
    if (!err.IsError()) r = std::move(decoded);
  } else {
    r.clear();
    err = decodeFresh(data, size, r);
  }
  if (err.IsError()) err.Push(FXLOC);
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
  encodeFields(writer, e);
  writer.closeContTag();
}

// Decodes the nested record at the parser and appends it to `list`; one that
// fails is not kept.  Decoded in place: a record is costly to move.
template <bool whole = false, class List>
CZuError appendDecoded(DwEbmlParser& parser, int size, List& list) {
  list.emplace_back();
  using Element = typename List::value_type;
  CZuError err = whole ? decodeElements<Element, true>(parser.getPos(), size, list.back())
                       : decodeFresh(parser.getPos(), size, list.back());
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

// The containers of `tag` in `data`, appended to `records`; on failure the
// ones before the failing one stay.
template <class Record>
CZuError decodeContainers(const void* data, int size, int tag, std::list<Record>& records) {
  return dwEbmlForEachElement(data, size, [&records, tag](DwEbmlParser& p, int found, int len) {
    return found == tag ? appendDecoded(p, len, records) : CZuError();
  });
}

// The same all or nothing: a header that can't be read fails, and each
// record is read as decodeWholly reads one.
template <class Record>
CZuError decodeContainersWholly(const void* data, int size, int tag, std::list<Record>& records) {
  DwEbmlParser parser(data, size > 0 ? static_cast<unsigned long>(size) : 0);
  while (!parser.atEnd()) {
    int found = 0, len = 0;
    CZuError err = parser.getNextTag(&found, &len);
    if (!err.IsError() && found == tag) err = appendDecoded<true>(parser, len, records);
    if (err.IsError()) return err.Push(FXLOC);
    parser.skipPayload(len);
  }
  return CZuError();
}

// The containers of `tag`; `records` is left as it was on failure.
template <class Record>
CZuError decodeList(const std::vector<char>& bytes, int tag, std::list<Record>* records) {
  std::list<Record> decoded;
  CZuError err = decodeContainers(bytes.data(), static_cast<int>(bytes.size()), tag, decoded);
  if (err.IsError()) return err;
  records->swap(decoded);
  return CZuError();
}

// The ListOps of list member `M` (a std::list<Element> Record::*), whose
// elements are records with tables of their own.
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
  static CZuError decodeOneWhole(DwEbmlParser& parser, int size, Record& r) {
    return appendDecoded<true>(parser, size, r.*M);
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

  static constexpr ListOps<Record> ops = {&encode, &decodeOne, &decodeOneWhole, &clear,
                                          &equal,  &empty,     &checkTexts};
};

// The row value of list member `M`: {tag, name, listOf<&Record::member>(), flags}.
template <auto M>
constexpr const ListOps<typename ListField<M>::Record>* listOf() {
  return &ListField<M>::ops;
}

}  // namespace blr_fields

// Defines what BLR_RECORD_MEMBERS (BLR/BlrRecord.h) declares by the record's
// table.
#define BLR_RECORD_BY_TABLE(Record)                                                       \
  void Record::clear() { blr_fields::clearFields(*this); }                                \
  void Record::serialize(DwEbmlWriter& writer) const { blr_fields::encodeFields(writer, *this); } \
  bool Record::operator==(const Record& o) const { return blr_fields::equalFields(*this, o); } \
  CZuError Record::unserialize(const void* data, int size) {                              \
    return blr_fields::decodeFields(data, size, *this);                                   \
  }

#endif  // BLR_SRC_BLRRECORDFIELDS_H
