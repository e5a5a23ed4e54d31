#!/usr/bin/env bash
# The systemd units as an install writes them: `systemd-analyze verify` finds
# nothing to say about them, and the sandbox keeps its exposure low.
#   units_test.sh <source dir> <directory of blr-anchor and blr-proxy>
# Exits 77 (skipped) without systemd-analyze.
set -euo pipefail
src=$1
tools=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is missing"; exit 77; }

work=$(mktemp -d /tmp/blr-units.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
mkdir -p "$prefix/bin"
ln -s "$tools/blr-anchor" "$tools/blr-proxy" "$prefix/bin/"
cmake -DBLR_UNIT_SOURCE_DIR="$src/cmake" -DBLR_UNIT_WORK_DIR="$work" -DBLR_BINDIR=bin \
      -DCMAKE_INSTALL_PREFIX="$prefix" -P "$src/cmake/InstallUnits.cmake" >/dev/null
units=("$prefix"/lib/systemd/system/blr-anchor.service "$prefix"/lib/systemd/system/blr-proxy.service)

status=0
for unit in "${units[@]}"; do
  grep -q "^ExecStart=$prefix/bin/" "$unit" || { echo "$unit: ExecStart not below the prefix"; status=1; }
  grep -q '^Type=notify$' "$unit" || { echo "$unit: not Type=notify"; status=1; }
  if grep -q '@BLR_' "$unit"; then echo "$unit: placeholder left"; status=1; fi
done
out=$(systemd-analyze verify --man=no "${units[@]}" 2>&1) || status=1
if [ -n "$out" ]; then
  echo "systemd-analyze verify:"
  echo "$out"
  status=1
fi
# "OK" is below 5 of 10; the servers need the network and nothing else.
for unit in "${units[@]}"; do
  score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
          sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  if [ -n "$score" ] && ! awk -v s="$score" 'BEGIN { exit !(s < 3.0) }'; then
    echo "$unit: exposure $score, expected below 3.0"
    status=1
  fi
done
exit $status
