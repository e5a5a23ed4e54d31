#include "SqlTemplate.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Character classes, ASCII only as in the "C" locale; a table because the
// scan below looks at every character of every command.
enum : unsigned char { kWordChar = 1, kStartsSomething = 2 };

struct CharClasses {
  unsigned char of[256] = {};
  constexpr CharClasses() {
    for (int c = 0; c < 256; ++c) {
      bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
      // May start a literal, a quoted run or a comment.
      bool starts = word || c == '\'' || c == '"' || c == '[' || c == '`' || c == '-' || c == '/';
      of[c] = static_cast<unsigned char>((word ? kWordChar : 0) | (starts ? kStartsSomething : 0));
    }
  }
};
constexpr CharClasses kClasses;

bool is(char c, unsigned char cls) { return (kClasses.of[static_cast<unsigned char>(c)] & cls) != 0; }
bool isWordChar(char c) { return is(c, kWordChar); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The first word, upper-cased.
std::string firstWord(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  std::string word;
  while (i < s.size() && isWordChar(s[i])) word += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
  return word;
}

// Where the first ORDER BY or GROUP BY starts, in any case, or the size:
// from there on a number may name a column.
size_t columnsByNumberFrom(const std::string& s) {
  for (size_t at = 0; at + 5 <= s.size(); ++at) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[at])));
    if (c != 'o' && c != 'g') continue;
    if (strncasecmp(s.c_str() + at, "order", 5) != 0 && strncasecmp(s.c_str() + at, "group", 5) != 0) continue;
    size_t after = at + 5;
    while (after < s.size() && std::isspace(static_cast<unsigned char>(s[after]))) ++after;
    if (after > at + 5 && strncasecmp(s.c_str() + after, "by", 2) == 0) return at;
  }
  return s.size();
}

// The last character before s[at] that is not blank, or 0.
char previousSignificant(const std::string& s, size_t at) {
  for (size_t i = at; i > 0; --i)
    if (!std::isspace(static_cast<unsigned char>(s[i - 1]))) return s[i - 1];
  return 0;
}

// The end of the quoted or bracketed run, or the comment, that starts at
// s[i]; `i` when none starts there.
size_t opaqueEnd(const std::string& s, size_t i) {
  const char c = s[i], next = i + 1 < s.size() ? s[i + 1] : '\0';
  size_t end = i;
  if (c == '"' || c == '[' || c == '`') {
    end = s.find(c == '[' ? ']' : c, i + 1);
    end = end == std::string::npos ? s.size() : end + 1;
  } else if (c == '-' && next == '-') {
    end = s.find('\n', i);
    end = end == std::string::npos ? s.size() : end;
  } else if (c == '/' && next == '*') {
    end = s.find("*/", i + 2);
    end = end == std::string::npos ? s.size() : end + 2;
  }
  return end;
}

// The text of the 'literal' whose opening quote is s[i], and the index of
// its closing quote; false when it is not closed.
bool readLiteral(const std::string& s, size_t i, std::string* text, size_t* close) {
  size_t j = i + 1;
  for (;;) {
    size_t quote = s.find('\'', j);
    if (quote == std::string::npos) return false;
    text->append(s, j, quote - j);
    if (quote + 1 == s.size() || s[quote + 1] != '\'') {
      *close = quote;
      return true;
    }
    *text += '\'';  // doubled
    j = quote + 2;
  }
}

// The whole number of the digits s[from, to); false when it overflows.
bool readInteger(const std::string& s, size_t from, size_t to, int64_t* out) {
  int64_t n = 0;
  for (size_t i = from; i < to; ++i) {
    const int digit = s[i] - '0';
    if (n > (INT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *out = n;
  return true;
}

// The digits a marker for value number `n` (from 1) takes.
size_t digitsOf(size_t n) {
  size_t digits = 1;
  while (n >= 10) n /= 10, ++digits;
  return digits;
}

}  // namespace

bool SqlTemplate::match(const std::string& command, std::vector<Value>* out) const {
  if (marks.empty()) return false;
  out->resize(marks.size());
  size_t at = 0, from = 0;  // command[at...] stands for text[from...]
  for (size_t n = 0; n < marks.size(); ++n) {
    const size_t fixed = marks[n] - from;
    if (command.size() - at < fixed || command.compare(at, fixed, text, from, fixed) != 0) return false;
    at += fixed;
    from = marks[n] + 1 + digitsOf(n + 1);
    Value& v = (*out)[n];
    v.isText = values[n].isText;
    if (v.isText) {
      size_t close = 0;
      v.text.clear();
      if (at == command.size() || command[at] != '\'' || !readLiteral(command, at, &v.text, &close)) return false;
      at = close + 1;
      continue;
    }
    size_t end = at;
    while (end < command.size() && isDigit(command[end])) ++end;
    const bool whole = end == command.size() || (!isWordChar(command[end]) && command[end] != '.');
    if (end == at || !whole || !readInteger(command, at, end, &v.integer)) return false;
    at = end;
  }
  return command.size() - at == text.size() - from && command.compare(at, std::string::npos, text, from) == 0;
}

bool SqlTemplate::make(const std::string& command, char marker, SqlTemplate* out) {
  const std::string verb = firstWord(command);
  if (verb != "SELECT" && verb != "INSERT" && verb != "UPDATE" && verb != "DELETE") return false;
  const size_t numbersStayFrom = columnsByNumberFrom(command);
  const std::string& s = command;
  out->text.clear();
  out->text.reserve(s.size());
  out->values.clear();
  out->marks.clear();
  size_t copied = 0;  // s[0, copied) is in out->text already
  // Puts a parameter in place of s[from, to).
  auto takeOut = [&](size_t from, size_t to, Value v) {
    out->text.append(s, copied, from - copied);
    out->values.push_back(std::move(v));
    out->marks.push_back(out->text.size());
    out->text += marker;
    out->text += std::to_string(out->values.size());
    copied = to;
  };
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    size_t end = opaqueEnd(s, i);
    if (end > i) {
      i = end;
      continue;
    }
    const bool wordBefore = i > 0 && isWordChar(s[i - 1]);
    if (c == '\'' && !wordBefore) {  // X'..' blobs stay
      Value v;
      v.isText = true;
      size_t close = 0;
      if (!readLiteral(s, i, &v.text, &close)) return false;  // unterminated: leave it to the database
      takeOut(i, close + 1, std::move(v));
      i = close + 1;
      continue;
    }
    if (isDigit(c) && !wordBefore && i < numbersStayFrom) {
      size_t j = i;
      while (j < s.size() && isDigit(s[j])) ++j;
      const char before = previousSignificant(s, i);
      const bool whole = j == s.size() || (!isWordChar(s[j]) && s[j] != '.');
      if (whole && before != 0 && std::strchr("=<>(,", before) != nullptr) {
        Value v;
        if (readInteger(s, i, j, &v.integer)) takeOut(i, j, std::move(v));
      }
      i = j;
      continue;
    }
    // A run that holds no value: a word, or characters that start nothing.
    ++i;
    if (isWordChar(c)) {
      while (i < s.size() && isWordChar(s[i])) ++i;
    } else {
      while (i < s.size() && !is(s[i], kStartsSomething)) ++i;
    }
  }
  out->text.append(s, copied, std::string::npos);
  return !out->values.empty();
}
