#include "BLR/BlrDBTexts.h"

#include "host/base/FXString.h"

namespace {

CZuError checkAt(const std::string& field, const std::string& text, int width, BlrTextUnit unit) {
  return blrCheckText(field.c_str(), text, width, unit);
}

// `prefix` names the disk's place in its record ("disks[1].") or is empty.
CZuError checkDisk(const std::string& prefix, const BlrDB::Disk& d) {
  CZuError err = checkAt(prefix + "srcPath", d.srcPath, BLRDB_PATH_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = checkAt(prefix + "dstPath", d.dstPath, BLRDB_PATH_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = checkAt(prefix + "statusMessage", d.statusMessage, BLRDB_STATUS_MESSAGE_BYTES,
                  BlrTextUnit::kBytes);
  return err;
}

CZuError checkBootDisk(const std::string& prefix, const BlrDB::BootDisk& d) {
  CZuError err = checkAt(prefix + "path", d.path, BLRDB_PATH_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = checkAt(prefix + "snapId", d.snapId, BLRDB_SNAP_ID_BYTES, BlrTextUnit::kBytes);
  return err;
}

std::string diskPrefix(size_t index) { return "disks[" + std::to_string(index) + "]."; }

}  // namespace

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

CZuError blrCheckTexts(const BlrDB::Disk& disk) { return checkDisk("", disk); }

CZuError blrCheckTexts(const BlrDB::Pair& p) {
  CZuError err = blrCheckText("srcName", p.srcName, BLRDB_VM_NAME_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = blrCheckText("dstName", p.dstName, BLRDB_VM_NAME_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = blrCheckText("statusMessage", p.statusMessage, BLRDB_STATUS_MESSAGE_BYTES,
                       BlrTextUnit::kBytes);
  size_t i = 0;
  for (auto it = p.disks.begin(); !err.IsError() && it != p.disks.end(); ++it)
    err = checkDisk(diskPrefix(i++), *it);
  return err;
}

CZuError blrCheckTexts(const BlrDB::BootVM& vm) {
  CZuError err = blrCheckText("name", vm.name, BLRDB_VM_NAME_CHARS, BlrTextUnit::kChars);
  if (!err.IsError())
    err = blrCheckText("statusMessage", vm.statusMessage, BLRDB_BOOT_STATUS_BYTES,
                       BlrTextUnit::kBytes);
  size_t i = 0;
  for (auto it = vm.disks.begin(); !err.IsError() && it != vm.disks.end(); ++it)
    err = checkBootDisk(diskPrefix(i++), *it);
  return err;
}

CZuError blrCheckProp(const std::string& name, const std::string& value) {
  CZuError err = blrCheckText("propertyName", name, BLRDB_PROP_NAME_BYTES, BlrTextUnit::kBytes);
  if (!err.IsError())
    err = blrCheckText("propertyValue", value, BLRDB_PROP_VALUE_CHARS, BlrTextUnit::kChars);
  return err;
}
