// What every encoded record declares alike: it starts cleared, writes its
// elements into a writer, reads them back from bytes, and compares field by
// field.
#ifndef BLR_BLRRECORD_H
#define BLR_BLRRECORD_H

#include "DwLink/DwEbml.h"
#include "host/base/CZuError.h"

#define BLR_RECORD_MEMBERS(Name)                   \
  Name() { clear(); }                              \
  void clear();                                    \
  void serialize(DwEbmlWriter& writer) const;      \
  CZuError unserialize(const void* data, int size); \
  bool operator==(const Name& other) const;        \
  bool operator!=(const Name& other) const { return !(*this == other); }

#endif  // BLR_BLRRECORD_H
