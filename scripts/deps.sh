#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any
# is missing.  Safe to run repeatedly.
set -euo pipefail

packages=(
  cmake make g++ pkg-config git libcli11-dev nlohmann-json3-dev dpkg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  liblz4-dev libssl-dev openssl libsqlite3-dev libpq-dev
  postgresql
  clang libclang-rt-14-dev
  libcpp-httplib-dev prometheus chromium nodejs lowdown
)
# The Debian packages are built and checked only when asked (scripts/test.sh).
[ -z "${BLR_TEST_PACKAGES:-}" ] || packages+=(debhelper lintian)
# Node.js from other sources brings its own npm, which Debian's npm conflicts with.
command -v npm >/dev/null 2>&1 || packages+=(npm)

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
