#include "DwHttpRequest.h"

#include <cctype>
#include <cstring>

namespace {

bool isTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isTokenChar(c)) return false;
  return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The line at `at` without its end; `next` is where the following one starts
// (npos when the line has no end yet).
std::string_view lineAt(std::string_view data, size_t at, size_t* next) {
  size_t lf = data.find('\n', at);
  *next = lf == std::string_view::npos ? lf : lf + 1;
  std::string_view line = data.substr(at, lf == std::string_view::npos ? data.size() - at : lf - at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool parseRequestLine(std::string_view line, DwHttpRequest* out, bool* http11) {
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return false;
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (!isToken(method) || target.empty()) return false;
  for (char c : target)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
  out->method.assign(method);
  out->target.assign(target);
  *http11 = version == "HTTP/1.1";
  return true;
}

// Takes one header field into `out`; false when it is malformed.
bool parseField(std::string_view line, bool http11, DwHttpRequest* out, std::string* length) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return false;
  std::string_view name = line.substr(0, colon);
  std::string_view value = trim(line.substr(colon + 1));
  if (value.find('\0') != std::string_view::npos) return false;
  if (equalsNoCase(name, "Content-Length")) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return false;
    if (!length->empty() && *length != value) return false;  // two lengths: smuggling
    length->assign(value);
    if (value.find_first_not_of('0') != std::string_view::npos) out->hasBody = true;
  } else if (equalsNoCase(name, "Transfer-Encoding")) {
    out->hasBody = true;
  } else if (equalsNoCase(name, "Connection")) {
    for (size_t at = 0; at <= value.size();) {
      size_t comma = value.find(',', at);
      if (comma == std::string_view::npos) comma = value.size();
      std::string_view option = trim(value.substr(at, comma - at));
      if (equalsNoCase(option, "close")) out->keepAlive = false;
      if (equalsNoCase(option, "keep-alive") && !http11) out->keepAlive = true;
      at = comma + 1;
    }
  }
  return true;
}

}  // namespace

size_t dwHttpHeadEnd(std::string_view data, size_t from) {
  for (size_t lf = data.find('\n', from); lf != std::string_view::npos; lf = data.find('\n', lf + 1)) {
    if (lf == 0) continue;  // a head never starts empty
    if (data[lf - 1] == '\n') return lf + 1;
    if (data[lf - 1] == '\r' && lf >= 2 && data[lf - 2] == '\n') return lf + 1;
  }
  return std::string_view::npos;
}

bool dwHttpHeadOverLimit(std::string_view data) {
  size_t lf = data.find('\n');
  if (lf == std::string_view::npos) return data.size() > kDwHttpMaxLineBytes;
  return lf > kDwHttpMaxLineBytes || data.size() - lf - 1 > kDwHttpMaxHeaderBytes;
}

int dwHttpParseHead(std::string_view head, DwHttpRequest* out) {
  size_t next = 0;
  std::string_view line = lineAt(head, 0, &next);
  if (next == std::string_view::npos || line.size() > kDwHttpMaxLineBytes) return 414;
  bool http11 = true;
  if (!parseRequestLine(line, out, &http11)) return 400;
  out->keepAlive = http11;
  out->hasBody = false;
  const size_t fieldsAt = next;
  std::string length;
  for (size_t at = next; at < head.size(); at = next) {
    line = lineAt(head, at, &next);
    if (next == std::string_view::npos || next - fieldsAt > kDwHttpMaxHeaderBytes) return 400;
    if (line.empty()) return 0;
    if (line.front() == ' ' || line.front() == '\t') return 400;  // obsolete folding
    if (!parseField(line, http11, out, &length)) return 400;
  }
  return 400;  // no empty line: cut short at a limit
}

bool dwHttpDecodePath(const std::string& target, std::string* path) {
  if (target.empty() || target[0] != '/') return false;
  std::string raw = target.substr(0, target.find_first_of("?#"));
  path->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      *path += raw[i];
      continue;
    }
    if (i + 2 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(raw[i + 2])))
      return false;
    char c = static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
    if (c == '\0') return false;
    *path += c;
    i += 2;
  }
  return true;
}

std::string dwHttpQuery(const std::string& target) {
  size_t mark = target.find_first_of("?#");
  if (mark == std::string::npos || target[mark] != '?') return "";
  return target.substr(mark + 1, target.find('#', mark) - mark - 1);
}
