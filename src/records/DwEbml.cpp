#include "DwLink/DwEbml.h"

#include <cstdarg>

namespace {

struct Field {
  int tag;
  int type;
  void* dest;
};

// Records and messages list a handful of fields; a fixed table keeps
// parseMsg free of allocation.
constexpr int kMaxFields = 64;

bool isKnownType(int type) {
  return type == DW_EBML_VAR_INT32 || type == DW_EBML_VAR_UINT64 || type == DW_EBML_VAR_STR ||
         type == DW_EBML_VAR_BINARY || type == DW_EBML_VAR_UUID;
}

const Field* findField(const Field* fields, int count, int tag) {
  for (int i = 0; i < count; ++i) {
    if (fields[i].tag == tag) return &fields[i];
  }
  return nullptr;
}

}  // namespace

CZuError DwEbmlParser::parseMsg(int tag, DW_EBML_VAR_TYPE type, void* dest, ...) {
  Field fields[kMaxFields];
  int count = 0;
  va_list args;
  va_start(args, dest);
  for (;;) {
    if (count == kMaxFields) {
      va_end(args);
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Too many fields to decode (at most %d)", kMaxFields);
    }
    if (!isKnownType(type) || dest == nullptr) {
      va_end(args);
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid destination of tag %d (type %d)", tag,
                                   static_cast<int>(type));
    }
    fields[count++] = Field{tag, type, dest};
    tag = va_arg(args, int);
    if (tag == 0) break;
    type = static_cast<DW_EBML_VAR_TYPE>(va_arg(args, int));
    dest = va_arg(args, void*);
  }
  va_end(args);

  while (!atEnd()) {
    int elementTag = 0, size = 0;
    CZuError err = getNextTag(&elementTag, &size);
    if (err.IsError()) return err.Push(FXLOC);
    const Field* field = findField(fields, count, elementTag);
    if (field == nullptr) {
      skipPayload(size);
      continue;
    }
    switch (field->type) {
      case DW_EBML_VAR_INT32:
        err = getNumPayload(size, static_cast<int32_t*>(field->dest));
        break;
      case DW_EBML_VAR_UINT64:
        err = getNumPayload(size, static_cast<uint64_t*>(field->dest));
        break;
      case DW_EBML_VAR_UUID:
        err = getUUIDPayload(size, static_cast<uint8_t*>(field->dest));
        break;
      case DW_EBML_VAR_STR:
        // The caller reads the text in place, so it must end inside the data.
        if (size == 0 || cursor_[size - 1] != 0) {
          return FXErrorUtil::ErrorInt(FXLOC, DW_EBML_ERR_CORRUPT, "%s",
                                       dw_ebml_err_str_tag_no_nul);
        }
        *static_cast<const char**>(field->dest) = reinterpret_cast<const char*>(cursor_);
        skipPayload(size);
        break;
      case DW_EBML_VAR_BINARY:
        *static_cast<DwEbmlBinary*>(field->dest) = DwEbmlBinary{cursor_, size};
        skipPayload(size);
        break;
    }
    if (err.IsError()) return err.Push(FXLOC);
  }
  return CZuError();
}
