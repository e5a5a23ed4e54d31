#!/usr/bin/env bash
# Installs the Debian packages that are missing, if any.  Safe to run
# repeatedly.
#
#   scripts/deps.sh build   what building the three programs and the demo need
#   scripts/deps.sh [test]  that and what the test suite needs: lowdown (the
#                           manual pages), GoogleTest, the
#                           packaging tools, PostgreSQL, clang (fuzzing),
#                           promtool and Prometheus, Chromium and Node.js
#                           (the status page)
set -euo pipefail

build_packages=(
  cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev
  liblz4-dev libssl-dev libsqlite3-dev libpq-dev
)
test_packages=(
  lowdown  # the manual pages, made from docs/
  git dpkg-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  postgresql
  clang libclang-rt-14-dev
  prometheus chromium nodejs
)

case "${1:-test}" in
  build) packages=("${build_packages[@]}") ;;
  test)
    packages=("${build_packages[@]}" "${test_packages[@]}")
    # The Debian packages are built and checked only when asked (scripts/test.sh).
    [ -z "${BLR_TEST_PACKAGES:-}" ] || packages+=(debhelper lintian)
    # Node.js from other sources brings its own npm, which Debian's npm conflicts with.
    command -v npm >/dev/null 2>&1 || packages+=(npm)
    ;;
  *)
    echo "usage: $0 [build|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
