#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, builds a small consumer
# against it through the CMake package and through pkg-config, runs both, and
# checks that libblr exports only its public API.
#
# usage: install_test.sh <build dir> <cmake> <c++ compiler> [<c++ flags>]
set -euo pipefail

build_dir=$1
cmake_cmd=$2
cxx=$3
cxx_flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/blr-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

step() { echo "== $*"; }

step "install into $prefix"
"$cmake_cmd" --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libblr.so' | head -n 1)")
[ -n "$libdir" ] || { echo "libblr.so was not installed"; exit 1; }

step "consumer through find_package(blr)"
"$cmake_cmd" -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags" >/dev/null
"$cmake_cmd" --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

step "consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 $cxx_flags "$here/consumer/main.cpp" $(pkg-config --cflags --libs blr) \
  -Wl,-rpath,"$libdir" -o "$work/consumer-pc"
"$work/consumer-pc"

step "exported symbols of libblr"
symbols=$(nm -D --defined-only "$libdir/libblr.so" | awk '{print $2 " " $3}')
for plain in blrJrnLog blrJrnGetMarkerName uuid2hex initBlrDBSvc blrJobDone; do
  grep -qx "T $plain" <<<"$symbols" || { echo "missing plain-name export: $plain"; exit 1; }
done
# Library names begin with Blr/blr/Dw (classes, their typeinfo and vtables,
# free functions); weak and unique std:: symbols are template instances the
# standard headers export; __odr_asan/__asan/__ubsan come from the
# sanitizers.  Anything else is an internal that leaked.
bad=$(awk '{print $1 "\t" $2}' <<<"$symbols" | c++filt | awk -F'\t' '
  $2 ~ /\(anonymous namespace\)/ { print; next }
  $2 ~ /^(Blr|blr|Dw|uuid2hex|initBlr)/ { next }
  $2 ~ /^__(odr_asan|asan|ubsan|sanitizer)/ { next }
  $2 ~ /^(typeinfo|typeinfo name|vtable|VTT) for (Blr|Dw)/ { next }
  ($1 == "W" || $1 == "V" || $1 == "u") && $2 ~ /std::/ { next }
  { print }')
if [ -n "$bad" ]; then
  echo "libblr exports symbols outside its public API:"
  echo "$bad"
  exit 1
fi
echo "install test passed"
