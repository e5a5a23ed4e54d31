// A record's stored fields as the columns of one SQL row, in the order of its
// table of fields: 32-bit numbers bound as "i", 64-bit ones as "b", texts by
// their stored width ("uN" for a width in characters, "sN" in bytes),
// identifiers as their text ("s64").  Lists and rows flagged kNotStored have
// no column.  The query's column list, the bind format, the buffers and the
// copy into the record all come from the table.
#ifndef BLR_SRC_BLRRECORDCOLUMNS_H
#define BLR_SRC_BLRRECORDCOLUMNS_H

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "records/BlrRecordFields.h"

namespace blr_fields {

template <class Record>
constexpr bool isColumn(const Field<Record>& f) {
  return f.kind != Kind::kList && !(f.flags & kNotStored);
}

// The bytes of a column's buffer: a text's width and its terminator, where a
// character may take 4 bytes.
template <class Record>
constexpr size_t columnBytes(const Field<Record>& f) {
  switch (f.kind) {
    case Kind::kInt32: return sizeof(int32_t);
    case Kind::kInt64:
    case Kind::kUInt64: return sizeof(int64_t);
    case Kind::kText:
      return (f.width.unit == BlrTextUnit::kChars ? 4 : 1) * static_cast<size_t>(f.width.units) + 1;
    case Kind::kUUID: return BLRDB_UUID_BYTES + 1;
    case Kind::kList: break;
  }
  return 0;
}

// Where each row's column lies in a block of buffers (numbers aligned).
template <class Record>
struct ColumnLayout {
  struct Layout {
    std::array<size_t, rowCount<Record>()> offset;
    size_t count;
    size_t bytes;
  };
  static constexpr Layout make() {
    Layout l{{}, 0, 0};
    for (size_t i = 0; i < rowCount<Record>(); ++i) {
      const Field<Record>& f = FieldTable<Record>::rows[i];
      if (!isColumn(f)) continue;
      if (f.kind == Kind::kText && f.width.units <= 0) throw "a stored text needs its width";
      l.bytes = (l.bytes + 7) & ~size_t{7};
      l.offset[i] = l.bytes;
      l.bytes += columnBytes(f);
      ++l.count;
    }
    return l;
  }
  static constexpr Layout layout = make();
};

// "i|i|u128|s64|..." for the record's columns.
template <class Record>
std::string columnFormat() {
  std::string format;
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    if (!isColumn(f)) continue;
    if (!format.empty()) format += '|';
    switch (f.kind) {
      case Kind::kInt32: format += 'i'; break;
      case Kind::kInt64:
      case Kind::kUInt64: format += 'b'; break;
      case Kind::kText:
        format += f.width.unit == BlrTextUnit::kChars ? 'u' : 's';
        format += std::to_string(f.width.units);
        break;
      case Kind::kUUID: format += 's' + std::to_string(BLRDB_UUID_BYTES); break;
      case Kind::kList: break;
    }
  }
  return format;
}

// "<table>.id, <table>.name, ..." for the record's columns.
template <class Record>
std::string columnNames(const char* table) {
  std::string names;
  for (const Field<Record>& f : FieldTable<Record>::rows) {
    if (!isColumn(f)) continue;
    if (!names.empty()) names += ", ";
    names.append(table).append(1, '.').append(f.name);
  }
  return names;
}

// Binds the last query's columns, in order, to `buffers` with `format`.
template <class Sql, size_t N, size_t... I>
int bindBuffers(Sql& sql, const char* format, const std::array<void*, N>& buffers,
                std::index_sequence<I...>) {
  return sql.ibindstruct(format, buffers[I]...);
}
template <class Sql, size_t N>
int bindBuffers(Sql& sql, const std::string& format, const std::array<void*, N>& buffers) {
  return bindBuffers(sql, format.c_str(), buffers, std::make_index_sequence<N>{});
}

// The buffers one row of a record's columns is read into.  Not zeroed: every
// row read fills every column.
template <class Record>
class RecordColumns {
 public:
  static constexpr size_t kCount = ColumnLayout<Record>::layout.count;

  // Stores the buffers' addresses in column order from `out` on; returns the
  // position after them.
  void** buffers(void** out) {
    for (size_t i = 0; i < rowCount<Record>(); ++i)
      if (isColumn(FieldTable<Record>::rows[i])) *out++ = block_ + offsetOf(i);
    return out;
  }

  // Binds the last query's columns, which are the record's alone.
  template <class Sql>
  int bind(Sql& sql) {
    static const std::string format = columnFormat<Record>();
    std::array<void*, kCount> all;
    buffers(all.data());
    return bindBuffers(sql, format, all);
  }

  // The 32-bit column of `tag`.
  template <int tag>
  int32_t number() const {
    constexpr size_t i = rowOf(tag);
    static_assert(FieldTable<Record>::rows[i].kind == Kind::kInt32, "a 32-bit column");
    return load<int32_t>(i);
  }

  // Copies every column into its field; texts are assigned into the storage
  // the fields have.
  void fill(Record* r) const {
    visitRows<Record>([this, r](auto i) {
      constexpr size_t row = decltype(i)::value;
      constexpr const Field<Record>& f = FieldTable<Record>::rows[row];
      if constexpr (!isColumn(f)) {
      } else if constexpr (f.kind == Kind::kInt32) {
        r->*f.i32 = load<int32_t>(row);
      } else if constexpr (f.kind == Kind::kInt64) {
        r->*f.i64 = load<int64_t>(row);
      } else if constexpr (f.kind == Kind::kUInt64) {
        r->*f.u64 = static_cast<uint64_t>(load<int64_t>(row));
      } else if constexpr (f.kind == Kind::kText) {
        (r->*f.text).assign(block_ + offsetOf(row));
      } else {
        const char* text = block_ + offsetOf(row);
        r->*f.uuid = BlrUUID(text, std::strlen(text));
      }
    });
  }

 private:
  static constexpr size_t offsetOf(size_t row) { return ColumnLayout<Record>::layout.offset[row]; }
  static constexpr size_t rowOf(int tag) {
    for (size_t i = 0; i < rowCount<Record>(); ++i)
      if (FieldTable<Record>::rows[i].tag == tag) return i;
    throw "no row of that tag";
  }
  template <class Number>
  Number load(size_t row) const {
    Number n;
    std::memcpy(&n, block_ + offsetOf(row), sizeof n);
    return n;
  }

  alignas(8) char block_[ColumnLayout<Record>::layout.bytes];
};

}  // namespace blr_fields

#endif  // BLR_SRC_BLRRECORDCOLUMNS_H
