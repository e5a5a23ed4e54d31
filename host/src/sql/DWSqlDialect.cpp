#include "host/sql/DWSqlDialect.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace {

// A lexical token of Transact-SQL text; tokens cover the text without gaps.
struct Token {
  enum Kind { kSpace, kQuoted, kWord, kOp } kind;
  size_t begin, end;
};

bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_@#$.", c) != nullptr;
}

// End of a literal or quoted identifier opened at `i`; a doubled closing
// character stands for itself.  Unterminated: the end of the text.
size_t quotedEnd(const std::string& s, size_t i, char close) {
  for (size_t j = i + 1; j < s.size(); ++j) {
    if (s[j] != close) continue;
    if (j + 1 < s.size() && s[j + 1] == close) {
      ++j;
      continue;
    }
    return j + 1;
  }
  return s.size();
}

// End of a block comment opened at `i`; block comments nest.
size_t blockCommentEnd(const std::string& s, size_t i) {
  int depth = 0;
  for (size_t j = i; j + 1 < s.size(); ++j) {
    if (s[j] == '/' && s[j + 1] == '*') {
      ++depth, ++j;
    } else if (s[j] == '*' && s[j + 1] == '/') {
      ++j;
      if (--depth == 0) return j + 1;
    }
  }
  return s.size();
}

size_t spaceEnd(const std::string& s, size_t i) {
  while (i < s.size()) {
    if (std::isspace(static_cast<unsigned char>(s[i]))) {
      ++i;
    } else if (s.compare(i, 2, "--") == 0) {
      size_t nl = s.find('\n', i);
      i = nl == std::string::npos ? s.size() : nl;
    } else if (s.compare(i, 2, "/*") == 0) {
      i = blockCommentEnd(s, i);
    } else {
      break;
    }
  }
  return i;
}

std::vector<Token> tokenize(const std::string& s) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < s.size()) {
    Token t{Token::kOp, i, i + 1};
    char c = s[i];
    size_t space = spaceEnd(s, i);
    if (space > i) {
      t = {Token::kSpace, i, space};
    } else if (c == '\'' || c == '"') {
      t = {Token::kQuoted, i, quotedEnd(s, i, c)};
    } else if (c == '[') {
      t = {Token::kQuoted, i, quotedEnd(s, i, ']')};
    } else if (isWordChar(c)) {
      size_t j = i;
      while (j < s.size() && isWordChar(s[j])) ++j;
      t = {Token::kWord, i, j};
    }
    tokens.push_back(t);
    i = t.end;
  }
  return tokens;
}

// Trimmed in its own storage.
std::string trimBlanks(std::string s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  s.erase(e).erase(0, b);
  return s;
}

// The command as tokens, each with the text that will replace it.
class Command {
 public:
  explicit Command(const std::string& text) : text_(text), tokens_(tokenize(text)) {
    for (const Token& t : tokens_) {
      pieces_.push_back(text.substr(t.begin, t.end - t.begin));
      if (t.kind != Token::kSpace) significant_.push_back(pieces_.size() - 1);
    }
  }

  size_t count() const { return significant_.size(); }
  // The n-th significant token.
  const Token& sig(size_t n) const { return tokens_[significant_[n]]; }
  size_t index(size_t n) const { return significant_[n]; }
  bool isWord(size_t n, const char* word) const {
    return n < count() && sig(n).kind == Token::kWord && ::strcasecmp(piece(n).c_str(), word) == 0;
  }
  bool isOp(size_t n, char c) const {
    return n < count() && sig(n).kind == Token::kOp && text_[sig(n).begin] == c;
  }
  const std::string& piece(size_t n) const { return pieces_[significant_[n]]; }

  // Replaced text of the significant tokens first..last, with what lies between.
  std::string span(size_t first, size_t last) const {
    std::string out;
    for (size_t i = index(first); i <= index(last); ++i) out += pieces_[i];
    return out;
  }

  std::vector<Token>& tokens() { return tokens_; }
  std::vector<std::string>& pieces() { return pieces_; }
  const std::string& text() const { return text_; }

  std::string joined() const {
    std::string out;
    for (const std::string& p : pieces_) out += p;
    return out;
  }

 private:
  std::string text_;
  std::vector<Token> tokens_;
  std::vector<std::string> pieces_;
  std::vector<size_t> significant_;
};

const char* lastIdFunction(DWSqlBackend backend) {
  switch (backend) {
    case DWSqlBackend::kSqlite:
      return "last_insert_rowid()";
    case DWSqlBackend::kPostgres:
      return "lastval()";
  }
  return "";
}

void rewriteScopeIdentity(Command* cmd, DWSqlBackend backend) {
  for (size_t n = 0; n + 2 < cmd->count(); ++n) {
    if (!cmd->isWord(n, "SCOPE_IDENTITY") || !cmd->isOp(n + 1, '(') || !cmd->isOp(n + 2, ')'))
      continue;
    std::vector<std::string>& pieces = cmd->pieces();
    pieces[cmd->index(n)] = lastIdFunction(backend);
    for (size_t i = cmd->index(n) + 1; i <= cmd->index(n + 2); ++i) pieces[i].clear();
  }
}

// Characters of an operator: + - * / < > = ~ ! % ^ & | ` ?
bool isOperatorChar(char c) {
  switch (c) {
    case '+': case '-': case '*': case '/': case '<': case '>': case '=': case '~':
    case '!': case '%': case '^': case '&': case '|': case '`': case '?':
      return true;
    default:
      return false;
  }
}

bool isUnaryOperator(char c) { return c == '~' || c == '+' || c == '-'; }

// PostgreSQL reads a run of operator characters as one operator, so "&~8"
// would name an operator "&~".  A blank before the unary one keeps them apart.
void separateUnaryOperators(Command* cmd) {
  std::vector<Token>& tokens = cmd->tokens();
  const std::string& text = cmd->text();
  for (size_t i = 1; i < tokens.size(); ++i) {
    if (tokens[i].kind != Token::kOp || tokens[i - 1].kind != Token::kOp) continue;
    char c = text[tokens[i].begin], prev = text[tokens[i - 1].begin];
    if (isUnaryOperator(c) && isOperatorChar(prev)) cmd->pieces()[i].insert(0, " ");
  }
}

// DELETE t FROM t [INNER] JOIN u ON <cond> [WHERE <w>]; false when the
// command has another shape.
bool rewriteDeleteJoin(const Command& cmd, DWSqlBackend backend, std::string* out) {
  if (!cmd.isWord(0, "DELETE") || cmd.count() < 4 || cmd.sig(1).kind != Token::kWord) return false;
  const std::string& target = cmd.piece(1);
  if (!cmd.isWord(2, "FROM") || !cmd.isWord(3, target.c_str())) return false;
  size_t n = 4;
  if (cmd.isWord(n, "INNER")) ++n;
  if (!cmd.isWord(n, "JOIN") || n + 3 >= cmd.count() || cmd.sig(n + 1).kind != Token::kWord ||
      !cmd.isWord(n + 2, "ON"))
    return false;
  const std::string& joined = cmd.piece(n + 1);
  size_t condFirst = n + 3, where = cmd.count();
  int depth = 0;
  for (size_t k = condFirst; k < cmd.count(); ++k) {
    if (cmd.isOp(k, '(')) ++depth;
    if (cmd.isOp(k, ')')) --depth;
    if (depth == 0 && cmd.isWord(k, "WHERE")) {
      where = k;
      break;
    }
  }
  if (where == condFirst || where + 1 == cmd.count()) return false;
  std::string cond = cmd.span(condFirst, where - 1);
  std::string filter = where < cmd.count() ? cmd.span(where + 1, cmd.count() - 1) : std::string();
  switch (backend) {
    case DWSqlBackend::kPostgres:
      *out = "DELETE FROM " + target + " USING " + joined + " WHERE (" + cond + ")";
      if (!filter.empty()) *out += " AND (" + filter + ")";
      break;
    case DWSqlBackend::kSqlite:
      *out = "DELETE FROM " + target + " WHERE rowid IN (SELECT " + target + ".rowid FROM " +
             target + " INNER JOIN " + joined + " ON " + cond;
      if (!filter.empty()) *out += " WHERE " + filter;
      *out += ")";
      break;
  }
  return true;
}

}  // namespace

namespace DWSqlDialect {

// False when no rewrite can apply, which the text shows without tokens:
// each rewrite needs its word, or (PostgreSQL) two operator characters in
// a row.
bool mayNeedRewrite(const std::string& s, DWSqlBackend backend) {
  // The rewritten DELETE is the first word; blanks or a comment may come first.
  const size_t first = s.find_first_not_of(" \t\r\n\f\v");
  if (first != std::string::npos &&
      (s[first] == '-' || s[first] == '/' || ::strncasecmp(s.c_str() + first, "DELETE", 6) == 0))
    return true;
  // SCOPE_IDENTITY, found by its '_', which few commands hold.
  const char* text = s.c_str();
  const char* end = text + s.size();
  for (const void* u = std::memchr(text, '_', s.size()); u != nullptr;) {
    const char* at = static_cast<const char*>(u);
    if (at - text >= 5 && ::strncasecmp(at - 5, "SCOPE_IDENTITY", 14) == 0) return true;
    u = std::memchr(at + 1, '_', static_cast<size_t>(end - at - 1));
  }
  if (backend != DWSqlBackend::kPostgres) return false;
  // Unary operators are rare: look for each one, not at every character.
  for (char unary : {'~', '+', '-'}) {
    for (const char* from = text + 1; from < end;) {
      const void* u = std::memchr(from, unary, static_cast<size_t>(end - from));
      if (u == nullptr) break;
      const char* at = static_cast<const char*>(u);
      if (isOperatorChar(at[-1])) return true;
      from = at + 1;
    }
  }
  return false;
}

std::vector<std::string> splitCommands(const std::string& text) { return splitCommands(std::string(text)); }

std::vector<std::string> splitCommands(std::string&& text) {
  std::vector<std::string> commands;
  // The common case, one command without comments, needs no tokens.
  if (text.find(';') == std::string::npos && text.find("--") == std::string::npos &&
      text.find("/*") == std::string::npos) {
    std::string command = trimBlanks(std::move(text));
    if (!command.empty()) commands.push_back(std::move(command));
    return commands;
  }
  size_t start = 0;
  bool hasContent = false;
  for (const Token& t : tokenize(text)) {
    if (t.kind == Token::kOp && text[t.begin] == ';') {
      if (hasContent) commands.push_back(trimBlanks(text.substr(start, t.begin - start)));
      start = t.end;
      hasContent = false;
    } else if (t.kind != Token::kSpace) {
      hasContent = true;
    }
  }
  if (hasContent) commands.push_back(trimBlanks(text.substr(start)));
  return commands;
}

std::string rewrite(const std::string& command, DWSqlBackend backend) {
  if (!mayNeedRewrite(command, backend)) return command;
  Command cmd(command);
  rewriteScopeIdentity(&cmd, backend);
  switch (backend) {
    case DWSqlBackend::kPostgres:
      separateUnaryOperators(&cmd);
      break;
    case DWSqlBackend::kSqlite:
      break;
  }
  std::string deleted;
  if (rewriteDeleteJoin(cmd, backend, &deleted)) return deleted;
  return cmd.joined();
}

std::string quote(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

}  // namespace DWSqlDialect
