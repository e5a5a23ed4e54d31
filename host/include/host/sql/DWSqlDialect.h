// The few Transact-SQL constructs that the statement builders use and the
// embedded backends do not understand, rewritten in one place:
//   DELETE t FROM t [INNER] JOIN u ON <cond> [WHERE <w>]
//   SCOPE_IDENTITY()
//   a binary operator directly followed by a unary one (flags&~8), which
//     PostgreSQL would read as one unknown operator
// Quoted literals, quoted identifiers and comments are never changed, and a
// command without these constructs comes back byte for byte.
#ifndef HOST_DWSQLDIALECT_H
#define HOST_DWSQLDIALECT_H

#include <string>
#include <vector>

enum class DWSqlBackend { kSqlite, kPostgres };

namespace DWSqlDialect {

// Splits text at the ';' that are outside literals, quoted identifiers and
// comments.  Commands that hold nothing but blanks and comments are dropped.
std::vector<std::string> splitCommands(const std::string& text);
// The same, taking over `text` for a single command instead of copying it.
std::vector<std::string> splitCommands(std::string&& text);

// One command (no separating ';') in the backend's dialect.
std::string rewrite(const std::string& command, DWSqlBackend backend);
// False when rewrite would give `command` back unchanged; a quick scan that
// may say true of a command that needs nothing.
bool mayNeedRewrite(const std::string& command, DWSqlBackend backend);

// `text` as a string literal: between single quotes, its own quotes doubled.
// Statements built from outside texts go through this, so that any text is
// stored byte for byte and never ends the literal early.
std::string quote(const std::string& text);

}  // namespace DWSqlDialect

#endif  // HOST_DWSQLDIALECT_H
