#include "output/CliTable.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "Cli.h"

const char kCliCutMarker[] = "\xE2\x80\xA6";  // U+2026, one column

namespace {

struct Range {
  uint32_t first, last;
};

// Combining marks and zero-width characters.
const Range kZeroWidth[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},
                            {0x0610, 0x061A}, {0x064B, 0x065F}, {0x200B, 0x200F},
                            {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};
// East Asian wide and full-width characters, and emoji.
const Range kDoubleWidth[] = {{0x1100, 0x115F},  {0x2E80, 0x303E},  {0x3041, 0x33FF},
                              {0x3400, 0x4DBF},  {0x4E00, 0x9FFF},  {0xA000, 0xA4CF},
                              {0xAC00, 0xD7A3},  {0xF900, 0xFAFF},  {0xFE30, 0xFE4F},
                              {0xFF00, 0xFF60},  {0xFFE0, 0xFFE6},  {0x1F300, 0x1F64F},
                              {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};

template <size_t N>
bool within(uint32_t cp, const Range (&ranges)[N]) {
  return std::any_of(std::begin(ranges), std::end(ranges),
                     [cp](const Range& r) { return cp >= r.first && cp <= r.last; });
}

// The unit of shown text at `i` that a cut must not split, an escape \xNN
// or one character: its length in bytes, and its terminal columns in
// `width`.  Shown text is UTF-8 (cliTerminalText escapes the rest).
size_t unitAt(const std::string& s, size_t i, size_t* width) {
  if (s.compare(i, 2, "\\x") == 0 && i + 4 <= s.size() &&
      std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
      std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
    *width = 4;
    return 4;
  }
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
  len = std::min(len, s.size() - i);
  uint32_t cp = len == 1 ? c : c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  *width = within(cp, kZeroWidth) ? 0 : within(cp, kDoubleWidth) ? 2 : 1;
  return len;
}

size_t widthOf(const std::string& shown) {
  size_t total = 0;
  for (size_t i = 0; i < shown.size();) {
    size_t w = 0;
    i += unitAt(shown, i, &w);
    total += w;
  }
  return total;
}

// `shown` cut to `width` columns, the marker last, when it is wider.
std::string fit(const std::string& shown, size_t width) {
  if (widthOf(shown) <= width) return shown;
  const size_t room = width > 0 ? width - 1 : 0;
  size_t used = 0, i = 0;
  while (i < shown.size()) {
    size_t w = 0;
    size_t len = unitAt(shown, i, &w);
    if (used + w > room) break;
    used += w;
    i += len;
  }
  return shown.substr(0, i) + kCliCutMarker;
}

// The cells padded to `widths`, two blanks apart, with no blanks at the end.
std::string line(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    const size_t w = widthOf(cells[i]);
    out += cells[i] + std::string((widths[i] > w ? widths[i] - w : 0) + 2, ' ');
  }
  out.erase(out.find_last_not_of(' ') + 1);
  return out + "\n";
}

std::vector<std::string> fitted(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::vector<std::string> out;
  for (size_t i = 0; i < cells.size(); ++i) out.push_back(fit(cells[i], widths[i]));
  return out;
}

}  // namespace

CliTable::CliTable(std::vector<std::string> headers, std::vector<size_t> widths)
    : header_(std::move(headers)), widths_(std::move(widths)) {
  for (std::string& h : header_) h = cliTerminalText(h);
  for (size_t i = widths_.size(); i < header_.size(); ++i) widths_.push_back(widthOf(header_[i]));
}

void CliTable::add(const std::vector<std::string>& row) {
  std::vector<std::string> shown(header_.size());
  for (size_t i = 0; i < shown.size() && i < row.size(); ++i) shown[i] = cliTerminalText(row[i]);
  rows_.push_back(std::move(shown));
}

std::string CliTable::render() const {
  std::vector<size_t> widths;
  for (const std::string& h : header_) widths.push_back(widthOf(h));
  for (const auto& row : rows_)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], widthOf(row[i]));
  std::string out = line(header_, widths);
  for (const auto& row : rows_) out += line(row, widths);
  return out;
}

std::string CliTable::take() {
  std::string out;
  if (!headerTaken_) out = line(fitted(header_, widths_), widths_);
  headerTaken_ = true;
  for (const auto& row : rows_) out += line(fitted(row, widths_), widths_);
  rows_.clear();
  return out;
}
