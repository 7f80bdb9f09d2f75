#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz) and runs each for a bounded time,
# starting from the checked-in seeds, then replays the seeds and everything
# the run found. Prints the executions of each target. Exits non-zero when a
# target crashes or breaks one of its properties; the input that did it is
# kept in build/fuzz/artifacts.
#
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

seconds="${1:-60}"
targets=(elf2bin copy2flash cmd_line cases watch coverage_log line_map)
build="$PWD/build/fuzz"
seeds="$PWD/fuzz/corpus"

need_packages cmake ninja-build clang libclang-rt-14-dev libre2-dev

step "fuzz build (libFuzzer + ASan + UBSan)"
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELK_FUZZ=ON -DZELK_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
# Each input becomes a few small files; in memory the copier's target runs
# several times faster than on disk.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
declare -A execs
failed=0
for t in "${targets[@]}"; do
  step "fuzzing $t for ${seconds}s"
  found="$build/corpus/$t"
  mkdir -p "$found"
  log="$build/$t.log"
  # New inputs go to the first folder; the seeds stay as checked in.
  if ! "$build/fuzz/fuzz_$t" "$found" "$seeds/$t" -max_total_time="$seconds" \
      -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
    failed=1
    tail -n 40 "$log"
    echo "fuzz_$t failed; the input is in $build/artifacts/"
  fi
  execs[$t]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)

  step "replaying the $t corpus"
  if ! "$build/fuzz/fuzz_$t" -runs=0 "$seeds/$t" "$found" >"$build/$t.replay.log" 2>&1; then
    failed=1
    tail -n 40 "$build/$t.replay.log"
  fi
  echo "$(find "$seeds/$t" "$found" -type f | wc -l) inputs replayed"
done

step "executions per target"
for t in "${targets[@]}"; do printf '  %-12s %s\n' "$t" "${execs[$t]:-?}"; done
exit "$failed"
