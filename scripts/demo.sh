#!/usr/bin/env bash
# The demo: a central server on SQLite, a Head and a Tail proxy on loopback,
# two replication pairs, a failover to the latest state, a failback and a
# switch of roles, all driven by the blr command line in a temporary
# directory.  Every process it starts is stopped when it ends, also on failure
# or Ctrl-C.
#
# With BLR_DEMO_BIN set to a directory holding blr, blr-anchor and blr-proxy,
# those are used as they are.  Otherwise the Debian packages the build needs
# (only those: scripts/test.sh installs the test suite's) are installed when
# missing, and the three programs are built when out of date: in the default
# preset's tree when there is one, else in build/demo without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${BLR_DEMO_BIN:-}
if [ -z "$bin" ]; then
  scripts/deps.sh build
  build=build/default
  if [ ! -f $build/CMakeCache.txt ]; then
    build=build/demo
    [ -f $build/CMakeCache.txt ] ||
      cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLR_BUILD_TESTS=OFF \
            -DBLR_BUILD_BENCH=OFF -DBLR_BUILD_MAN=OFF >/dev/null
  fi
  echo "Building blr, blr-anchor and blr-proxy ($build) if needed..."
  cmake --build $build -j "$(nproc)" --target blr_cli blr-anchor blr-proxy >/dev/null
  bin=$PWD/$build/tools
fi

work=$(mktemp -d /tmp/blr-demo.XXXXXX)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ $status -ne 0 ]; then
    echo "The demo failed (status $status); the servers' logs:" >&2
    tail -n 8 "$work"/anchor.log "$work"/head1.log "$work"/tail1.log >&2 2>/dev/null || true
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
blr() {
  printf '$ blr %s\n' "$*"
  "$bin/blr" -r "$work/cli.reg" "$@"
}

# Starts a server in the background and waits until it printed its first
# line (in NAME.out).
start() {
  local name=$1
  shift
  : >"$name.out"  # exists before the server's own redirection, for the wait below
  "$@" >"$name.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do
    if grep -q . "$name.out"; then
      head -n 1 "$name.out"
      return
    fi
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "$name did not start:" >&2
  cat "$name.out" >&2
  return 1
}

# Waits (bounded) until the pair reports the status code.
await_status() {
  for _ in $(seq 100); do
    "$bin/blr" -r "$work/cli.reg" --json pairs show "$1" | grep -q "\"statusCode\": $2," && return
    sleep 0.1
  done
  echo "pair $1 never reached status $2" >&2
  return 1
}

started=$(date +%s)
say "A trial set-up: an authority, one certificate and registry per client, free ports"
blr certs init "$work" --proxy head1 --proxy tail1 --operator cli --registries

say "The central server (pair database on SQLite) and two simulated proxies"
# The simulator's delays: a pair synchronises for 1.5 s, so failback's wait
# for it is seen once; flush markers arrive at once, so each marker wait
# shows one reading and ends.
proxy_args=(--set sync-delay-ms=1500 --set flush-delay-ms=0)
echo -n "blr-anchor: "
start anchor "$bin/blr-anchor" serve --registry anchor.reg
start head1 "$bin/blr-proxy" --registry head1.reg "${proxy_args[@]}"
start tail1 "$bin/blr-proxy" --registry tail1.reg "${proxy_args[@]}"

say "The proxies are in the central server's client directory; everything answers"
blr clients list
blr doctor

say "Two pairs: web01 (two disks) and db01, on the Head, protected on the Tail"
blr pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 \
  --src-name web01 --src-guid 6f1c0a3e-5b7d-4c2a-9e8f-1a2b3c4d5e6f \
  --dst-name web01-dr --dst-guid 0c9d8e7f-6a5b-4c3d-2e1f-0a9b8c7d6e5f \
  --disk 11111111-2222-3333-4444-555555555555:/vmfs/web01/disk0.vmdk \
  --disk 66666666-7777-8888-9999-aaaaaaaaaaaa:/vmfs/web01/disk1.vmdk
blr pairs set-dest 1 --disk 1=a1a1a1a1-0000-4000-8000-000000000001:/dr/web01/disk0.vmdk \
  --disk 2=a1a1a1a1-0000-4000-8000-000000000002:/dr/web01/disk1.vmdk
blr pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 \
  --src-name db01 --src-guid 5e4d3c2b-1a09-4f8e-8d7c-6b5a49382716 --dst-name db01-dr \
  --disk aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:/vmfs/db01/disk0.vmdk
blr pairs set-dest 2 --dst-guid d0d0d0d0-0000-4000-8000-000000000000 \
  --disk 3=d0d0d0d0-0000-4000-8000-000000000003:/dr/db01/disk0.vmdk
blr proxies start 1
blr proxies start 2
await_status 1 4
blr pairs show 1

say "Failover of web01 to its latest state"
blr failover 1 --latest

say "Failback of web01: the recovery VM's changes go back, production resumes"
blr failback 1
await_status 1 4
blr pairs show 1

say "db01's roles are switched after a failover: the recovery VM becomes the protected one"
await_status 2 4
blr failover 2
blr switch-roles 2 --start

say "The final state of every pair"
blr pairs list

say "Done in $(($(date +%s) - started)) seconds; stopping the servers"
