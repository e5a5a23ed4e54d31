#!/usr/bin/env bash
# Builds and runs the whole test suite: the default build and the
# AddressSanitizer/UndefinedBehaviorSanitizer build.  The database tests run on
# SQLite and on a private PostgreSQL server started here (or on the server that
# BLR_TEST_PG_CONNINFO already names).  With BLR_TEST_PACKAGES set, the Debian
# packages are built and installed on this machine too (scripts/package-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

jobs=$(nproc)

if [ -z "${BLR_TEST_PG_CONNINFO:-}" ]; then
  pgdir=$(mktemp -d /tmp/blr-pg.XXXXXX)
  trap 'scripts/pg.sh stop "$pgdir"' EXIT
  trap 'exit 1' INT TERM  # so that the server is stopped on those too
  echo "== starting PostgreSQL in $pgdir"
  BLR_TEST_PG_CONNINFO=$(scripts/pg.sh start "$pgdir")
  export BLR_TEST_PG_CONNINFO
fi

run_preset() {
  local preset=$1
  echo "== ${preset}: configure, build, test"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  echo "== ${preset}: done at ${SECONDS}s"
}

run_preset default
run_preset asan
echo "== fuzz: libFuzzer targets, bounded time each"
scripts/fuzz.sh "${BLR_FUZZ_SECONDS:-10}"  # longer runs: BLR_FUZZ_SECONDS
echo "== fuzz: done at ${SECONDS}s"
if [ -n "${BLR_TEST_PACKAGES:-}" ]; then
  echo "== Debian packages: build, lintian, install, upgrade, remove, purge"
  scripts/package-check.sh
  echo "== packages: done at ${SECONDS}s"
fi
echo "== all tests passed"
