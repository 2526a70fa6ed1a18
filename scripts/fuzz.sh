#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, ASan + UBSan) and
# runs each of them for a while, one process each, starting from its
# committed corpus fuzz/corpus/<target>.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   SECONDS  run time per target (default 60)
#   TARGET   pack, rebuild, handler (default: all three)
#
# New inputs go to build-fuzz/corpus/<target>, never into the committed
# corpus. An input that breaks an invariant or draws a sanitizer report is
# saved as build-fuzz/crashes/<target>-crash-*, and the script fails; copy it
# into fuzz/corpus/<target> once the fault is mended, so that the replay test
# keeps it. Each target's figures (runs, coverage, time) end its log,
# build-fuzz/<target>.log, and are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pack rebuild handler)

if ! scripts/deps.sh fuzz; then
  if [ "${CI:-}" = true ]; then
    echo "fuzz: clang or libFuzzer is missing, and CI must not skip the fuzz runs" >&2
    exit 1
  fi
  echo "fuzz runs SKIPPED: clang or libFuzzer is missing (see above)" >&2
  exit 0
fi
# Under CI the fuzz build, like every other, treats a warning as an error.
werror=-DCHUNK_WERROR=OFF; [ "${CI:-}" = true ] && werror=-DCHUNK_WERROR=ON
cmake --preset fuzz "$werror"
cmake --build --preset fuzz

# Scratch files of the targets (store, lists, pack) in memory when possible.
scratch_root=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_root=/dev/shm
scratch=$(mktemp -d "$scratch_root/chunkfuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=0
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t" build-fuzz/crashes
  log="build-fuzz/$t.log"
  echo "fuzz: $t for $seconds s"
  if ! TMPDIR="$scratch" "build-fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$t-" "build-fuzz/corpus/$t" "fuzz/corpus/$t" \
      >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $t FAILED; the input is in build-fuzz/crashes/" >&2
    failed=1
    continue
  fi
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  per_s=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\) corp: \([^ ]*\) .*/edges \1, features \2, corpus \3/p' <<<"$last")
  echo "fuzz: $t: $runs runs in $seconds s ($per_s/s), $cov"
done
exit $failed
