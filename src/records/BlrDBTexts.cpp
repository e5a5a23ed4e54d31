#include "BLR/BlrDBTexts.h"

#include "host/base/FXString.h"

CZuError blrCheckText(const char* field, const std::string& text, int width, BlrTextUnit unit) {
  size_t nul = text.find('\0');
  if (nul != std::string::npos)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "%s holds a NUL byte at offset %zu", field, nul);
  const bool chars = unit == BlrTextUnit::kChars;
  // Only a text longer than `width` bytes can be longer than `width` characters.
  size_t length = text.size();
  if (chars && length > static_cast<size_t>(width)) length = FXString::FromString(text).size();
  if (length <= static_cast<size_t>(width)) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "%s is %zu %s long; at most %d are stored", field,
                               length, chars ? "characters" : "bytes", width);
}

CZuError blrCheckProp(const std::string& name, const std::string& value) {
  CZuError err = blrCheckText("propertyName", name, BLRDB_PROP_NAME_BYTES, BlrTextUnit::kBytes);
  if (!err.IsError())
    err = blrCheckText("propertyValue", value, BLRDB_PROP_VALUE_CHARS, BlrTextUnit::kChars);
  return err;
}
