// SHA-256 of data given in pieces, as 64 lower-case hex digits.
#ifndef HOST_DWSHA256_H
#define HOST_DWSHA256_H

#include <initializer_list>
#include <string>
#include <string_view>

#include "host/base/CZuError.h"

// The digest of the pieces' bytes one after another.
CZuError DwSha256Hex(std::initializer_list<std::string_view> pieces, std::string* hex);

#endif  // HOST_DWSHA256_H
