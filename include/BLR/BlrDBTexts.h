// The longest texts the pair database keeps, and the checks that refuse a
// record holding a longer one before anything of it is stored.  Wide columns
// count characters (a byte that is not UTF-8 counts as one), the others bytes.
#ifndef BLR_BLRDBTEXTS_H
#define BLR_BLRDBTEXTS_H

#include <string>

#include "BLR/BlrDB.h"
#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"

constexpr int BLRDB_VM_NAME_CHARS = 128;          // srcName, dstName, boot VM name
constexpr int BLRDB_PATH_CHARS = 1024;            // disk and boot disk paths
constexpr int BLRDB_UUID_BYTES = 64;              // identifiers in text form
constexpr int BLRDB_STATUS_MESSAGE_BYTES = 256;   // pair and disk status texts
constexpr int BLRDB_BOOT_STATUS_BYTES = 1024;     // boot VM status text
constexpr int BLRDB_PROP_NAME_BYTES = 128;
constexpr int BLRDB_PROP_VALUE_CHARS = 1024;
constexpr int BLRDB_SNAP_ID_BYTES = 64;
constexpr int BLRDB_CLIENT_TEXT_CHARS = 256;      // client name and host name
// A pair's Tail as "client@host:port:port", made by the service from the client
// directory; longer in a request is refused.
constexpr int BLRDB_TAIL_HOST_NAME_CHARS = 2 * BLRDB_CLIENT_TEXT_CHARS + 24;

enum class BlrTextUnit { kBytes, kChars };

// Fails with code 1 naming `field` when `text` is longer than `width` units
// or holds a NUL byte (texts travel as NUL-terminated statements).
BLR_API CZuError blrCheckText(const char* field, const std::string& text, int width,
                              BlrTextUnit unit);

// Every stored text of a record (disks and boot disks included).
BLR_API CZuError blrCheckTexts(const BlrDB::Disk& disk);
BLR_API CZuError blrCheckTexts(const BlrDB::Pair& pair);
BLR_API CZuError blrCheckTexts(const BlrDB::BootVM& vm);
// A property's name and value.
BLR_API CZuError blrCheckProp(const std::string& name, const std::string& value);

#endif  // BLR_BLRDBTEXTS_H
