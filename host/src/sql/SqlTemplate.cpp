#include "SqlTemplate.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// The first word, upper-cased.
std::string firstWord(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  std::string word;
  while (i < s.size() && isWordChar(s[i])) word += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
  return word;
}

// ORDER BY or GROUP BY anywhere, in any case.
bool namesColumnsByNumber(const std::string& s) {
  for (size_t at = 0; at + 5 <= s.size(); ++at) {
    if (strncasecmp(s.c_str() + at, "order", 5) != 0 && strncasecmp(s.c_str() + at, "group", 5) != 0) continue;
    size_t after = at + 5;
    while (after < s.size() && std::isspace(static_cast<unsigned char>(s[after]))) ++after;
    if (after > at + 5 && strncasecmp(s.c_str() + after, "by", 2) == 0) return true;
  }
  return false;
}

// The last character before `end` that is not blank, or 0.
char previousSignificant(const std::string& out) {
  for (size_t i = out.size(); i > 0; --i)
    if (!std::isspace(static_cast<unsigned char>(out[i - 1]))) return out[i - 1];
  return 0;
}

// Copies a quoted or bracketed run, or a comment, from s[i]; false when s[i] starts none.
bool copyOpaque(const std::string& s, size_t* i, std::string* out) {
  size_t start = *i, end;
  if (s[start] == '"' || s[start] == '[' || s[start] == '`') {
    char close = s[start] == '[' ? ']' : s[start];
    end = s.find(close, start + 1);
    end = end == std::string::npos ? s.size() : end + 1;
  } else if (s.compare(start, 2, "--") == 0) {
    end = s.find('\n', start);
    end = end == std::string::npos ? s.size() : end;
  } else if (s.compare(start, 2, "/*") == 0) {
    end = s.find("*/", start + 2);
    end = end == std::string::npos ? s.size() : end + 2;
  } else {
    return false;
  }
  out->append(s, start, end - start);
  *i = end;
  return true;
}

}  // namespace

bool SqlTemplate::make(const std::string& command, char marker, SqlTemplate* out) {
  const std::string verb = firstWord(command);
  if (verb != "SELECT" && verb != "INSERT" && verb != "UPDATE" && verb != "DELETE") return false;
  const bool numbersStay = namesColumnsByNumber(command);
  out->text.clear();
  out->values.clear();
  const std::string& s = command;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (copyOpaque(s, &i, &out->text)) continue;
    const bool wordBefore = i > 0 && isWordChar(s[i - 1]);
    if (c == '\'' && !wordBefore) {  // X'..' blobs stay
      Value v;
      v.isText = true;
      size_t j = i + 1;
      for (; j < s.size(); ++j) {
        if (s[j] != '\'') {
          v.text += s[j];
        } else if (j + 1 < s.size() && s[j + 1] == '\'') {
          v.text += '\'';
          ++j;
        } else {
          break;
        }
      }
      if (j >= s.size()) return false;  // unterminated: leave it to the database
      out->values.push_back(std::move(v));
      out->text += marker + std::to_string(out->values.size());
      i = j + 1;
      continue;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) && !wordBefore && !numbersStay) {
      size_t j = i;
      while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
      char before = previousSignificant(out->text);
      bool whole = j == s.size() || (!isWordChar(s[j]) && s[j] != '.');
      if (whole && std::strchr("=<>(,", before) != nullptr && before != 0) {
        errno = 0;
        long long n = std::strtoll(s.substr(i, j - i).c_str(), nullptr, 10);
        if (errno == 0) {
          Value v;
          v.integer = n;
          out->values.push_back(v);
          out->text += marker + std::to_string(out->values.size());
          i = j;
          continue;
        }
      }
      out->text.append(s, i, j - i);
      i = j;
      continue;
    }
    out->text += c;
    ++i;
  }
  return !out->values.empty();
}
