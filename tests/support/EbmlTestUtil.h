// Hex and record helpers for byte-exact encoding tests.
#ifndef BLR_TESTS_EBMLTESTUTIL_H
#define BLR_TESTS_EBMLTESTUTIL_H

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "DwLink/DwEbml.h"
#include "support/Check.h"
#include "support/SamplePair.h"

namespace ebmltest {

// "81 0A ..." (upper-case pairs separated by blanks).
inline std::string hex(const std::vector<char>& data) {
  std::string out;
  char byte[4];
  for (char c : data) {
    std::snprintf(byte, sizeof byte, out.empty() ? "%02X" : " %02X", static_cast<uint8_t>(c));
    out += byte;
  }
  return out;
}

// Inverse of hex(); blanks are optional.
inline std::vector<uint8_t> bytes(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) {
    for (size_t i = 0; i < pair.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoul(pair.substr(i, 2), nullptr, 16)));
    }
  }
  return out;
}

// The bytes `record.serialize` writes.
template <class Record>
std::vector<char> encode(const Record& record) { return encodeRecord(record); }

// `blob` read into a fresh record; a failure fails the test.
template <class Record>
Record decode(const std::vector<char>& blob) {
  Record record;
  EXPECT_OK(record.unserialize(blob.data(), static_cast<int>(blob.size())));
  return record;
}

}  // namespace ebmltest

#endif  // BLR_TESTS_EBMLTESTUTIL_H
