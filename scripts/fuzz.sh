#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a bounded
# time, starting from its seed corpus in fuzz/corpus/<target>.  Fails on the
# first crash, leak, sanitizer report or failed round trip.
#   scripts/fuzz.sh [seconds-per-target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
targets=(element_loop parse_msg pair pair_list boot_vm pair_stats prop_map mon_config)

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"

work=build/fuzz/run
mkdir -p "$work/artifacts"
for target in "${targets[@]}"; do
  echo "== fuzz ${target}: ${seconds}s"
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  mkdir -p "$work/corpus/$target"
  build/fuzz/fuzz/fuzz_${target} -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/${target}-" \
    "$work/corpus/$target" "fuzz/corpus/$target"
done
echo "== fuzzing found nothing"
