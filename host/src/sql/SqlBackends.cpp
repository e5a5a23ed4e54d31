// The SQL backends this host can open.  A backend is a file with its
// SqlBackend, a row here and a folder of schema texts under schema/.
#include "SqlBackend.h"

#include <cstdlib>
#include <iterator>

namespace {

const SqlBackendRow kBackends[] = {
    {"sqlite", DWSqlBackend::kSqlite, newSqliteBackend},
    {"postgresql", DWSqlBackend::kPostgres, newPostgresBackend},
};

}  // namespace

const SqlBackendRow* sqlBackendNamed(const std::string& name) {
  for (const SqlBackendRow& row : kBackends)
    if (name == row.name) return &row;
  return nullptr;
}

const SqlBackendRow& sqlBackendOf(DWSqlBackend kind) {
  for (const SqlBackendRow& row : kBackends)
    if (row.kind == kind) return row;
  // Every kind has a row; a missing one is a build mistake.
  std::abort();
}

std::string sqlBackendNames() {
  std::string names;
  for (const SqlBackendRow& row : kBackends) {
    if (!names.empty()) names += &row == &kBackends[std::size(kBackends) - 1] ? " or " : ", ";
    names += row.name;
  }
  return names;
}
