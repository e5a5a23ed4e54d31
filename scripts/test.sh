#!/usr/bin/env bash
# Builds and runs the whole test suite: the default build and the
# AddressSanitizer/UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)

run_preset() {
  local preset=$1
  echo "== ${preset}: configure, build, test"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset default
run_preset asan
echo "== fuzz: libFuzzer targets, bounded time each"
scripts/fuzz.sh
echo "== all tests passed"
