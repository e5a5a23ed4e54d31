#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, runs the installed
# programs with a clean environment (a trial: central server, proxy, blr
# doctor), builds a small consumer against it through the CMake package and
# through pkg-config, runs both, and checks that libblr exports only its
# public API.
#
# usage: install_test.sh <build dir> <cmake> <c++ compiler> [<c++ flags>]
set -euo pipefail

build_dir=$1
cmake_cmd=$2
cxx=$3
cxx_flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/blr-install-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

# Runs an installed program with nothing from this environment, as a
# service manager or a new user's shell would.
clean() { env -i "$@"; }

# Starts an installed server in the background; waits for its first line.
start() {
  local out=$1
  shift
  : >"$out"
  env -i "$@" >"$out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q . "$out" && return
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "$* did not start:"; cat "$out"; exit 1
}

step() { echo "== $*"; }

step "install into $prefix"
"$cmake_cmd" --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libblr.so' | head -n 1)")
[ -n "$libdir" ] || { echo "libblr.so was not installed"; exit 1; }

step "installed programs, clean environment"
for program in blr blr-anchor blr-proxy; do
  clean "$prefix/bin/$program" --help >/dev/null
done
trial=$work/trial
clean "$prefix/bin/blr" certs init "$trial" --proxy head1 --operator cli --registries >/dev/null
start "$work/anchor.out" "$prefix/bin/blr-anchor" serve --registry "$trial/anchor.reg"
start "$work/head1.out" "$prefix/bin/blr-proxy" --registry "$trial/head1.reg"
clean "$prefix/bin/blr" -r "$trial/cli.reg" doctor

step "systemd units"
for unit in blr-anchor blr-proxy; do
  file=$prefix/lib/systemd/system/$unit.service
  grep -qx "ExecStart=$prefix/bin/$unit .*" "$file" || { echo "$file: wrong ExecStart"; exit 1; }
  grep -qx "User=blr" "$file" && grep -qx "Restart=on-failure" "$file" ||
    { echo "$file: not unprivileged or not restarted"; exit 1; }
done

step "monitoring files"
for file in prometheus/blr-alerts.yml grafana/blr.json; do
  [ -s "$prefix/share/blr/$file" ] || { echo "share/blr/$file not installed"; exit 1; }
done

step "consumer through find_package(blr)"
"$cmake_cmd" -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags" >/dev/null
"$cmake_cmd" --build "$work/cmake-build" >/dev/null
clean "$work/cmake-build/consumer"

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
