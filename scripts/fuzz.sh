#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a bounded
# time, starting from its seed corpus in fuzz/corpus/<target>.  Fails on the
# first crash, leak, sanitizer report or failed round trip.
#   scripts/fuzz.sh [seconds-per-target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"
# Every target the build made (fuzz/CMakeLists.txt lists them).
mapfile -t targets < <(cd build/fuzz/fuzz && ls fuzz_* | sed 's/^fuzz_//')

work=build/fuzz/run
mkdir -p "$work/artifacts" "$work/logs"

# Runs one target; its output goes to a log that is shown when it fails.
run_target() {
  local target=$1
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  mkdir -p "$work/corpus/$target"
  if build/fuzz/fuzz/fuzz_${target} -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/${target}-" \
      "$work/corpus/$target" "fuzz/corpus/$target" >"$work/logs/$target.log" 2>&1; then
    echo "== fuzz ${target}: ${seconds}s, nothing found"
  else
    echo "== fuzz ${target}: FAILED"
    tail -n 60 "$work/logs/$target.log"
    return 1
  fi
}

# As many targets at once as there are processors.
parallel=$(nproc)
failed=0
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ $failed -eq 0 ] || { echo "== fuzzing found a fault (inputs in $work/artifacts)"; exit 1; }
echo "== fuzzing found nothing"
