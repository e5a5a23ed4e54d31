// A command with its literal values taken out as numbered parameters, so
// that commands differing only in those values share one prepared statement.
// Only plain data commands are rewritten, and only literals whose meaning
// can't change: every 'text' literal, and whole integers that follow a
// comparison, "(" or "," (never those from the first ORDER BY or GROUP BY
// on, where "1" names a column).  Internal to the host library.
#ifndef HOST_SRC_SQLTEMPLATE_H
#define HOST_SRC_SQLTEMPLATE_H

#include <cstdint>
#include <string>
#include <vector>

struct SqlTemplate {
  struct Value {
    bool isText = false;
    int64_t integer = 0;
    std::string text;
  };

  std::string text;  // with <marker>1, <marker>2, ... in place of the values
  std::vector<Value> values;
  std::vector<size_t> marks;  // where each marker starts in `text`

  // False (and `out` unusable) when `command` is not a data command or
  // holds no literal to take out.  `marker` starts a parameter: '?' for
  // SQLite, '$' for PostgreSQL.
  static bool make(const std::string& command, char marker, SqlTemplate* out);

  // Takes `command`'s values when it is this template's text with a
  // literal of the same kind in place of each marker; false otherwise.
  // Much cheaper than make() for the command of a template already seen:
  // the text between the values is compared, not scanned.  Each literal
  // stands where one stood in the command the template was made of, with
  // the same text before it, so it is a value there too.
  bool match(const std::string& command, std::vector<Value>* out) const;
};

// The first of the `limit` first entries of `recent` (each with its template
// as `shape`) whose template `command` matches, with the command's values in
// `values`; else the end of `recent`.
template <typename List>
typename List::iterator matchRecentTemplate(List& recent, size_t limit, const std::string& command,
                                            std::vector<SqlTemplate::Value>* values) {
  size_t tried = 0;
  for (auto it = recent.begin(); it != recent.end() && tried < limit; ++it, ++tried)
    if (it->shape.match(command, values)) return it;
  return recent.end();
}

#endif  // HOST_SRC_SQLTEMPLATE_H
