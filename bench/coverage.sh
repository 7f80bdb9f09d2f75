#!/usr/bin/env bash
# Times --coverage. Builds in Release under build/bench-coverage.
#
#   bash bench/coverage.sh
#
# (w) a real QEMU run (Debian's qemu-system-arm, netduino2, the coverage
#     firmware of tests/fixtures/elf/coverage) with --coverage lcov:FILE
#     against the same run without it                         target <= 1.10x
# (x) the line map of a 16 MiB ELF with debug information (bench/
#     make_debug_elf.cpp: 1.7 million lines in 256 files), a translation
#     log that reached all of it read into it, the tracefile written
#     (bench/coverage_bench.cpp)                                target < 1 s
# (y) peak memory (max RSS, GNU time) of a launch with --coverage whose
#     simulator logs the same blocks once and 20000 times over (a 170 MiB
#     log, as a long run that keeps translating again would leave)
#                                                       target: the same peak
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/lib.sh

need_packages hyperfine cmake ninja-build g++ time libre2-dev qemu-system-arm

B=$ROOT/build/bench-coverage
W=$B/work
step "Release build in build/bench-coverage"
cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build "$B" --target zelk_sim qemu-system-cskyv2 zelk_core
"${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror bench/make_debug_elf.cpp -o "$B/make_debug_elf"
"${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror -Isrc bench/coverage_bench.cpp "$B/libzelk_core.a" \
  -o "$B/coverage_bench"

rm -rf "$W"
mkdir -p "$W/qemu" "$W/standin" "$W/run" "$W/tmp"
cp standin/netduino2/qemu-system-cskyv2 "$W/qemu/"
cp "$B/qemu-system-cskyv2" "$W/standin/"
cp tests/fixtures/elf/coverage/coverage.elf "$W/run/app.elf"
export TMPDIR="$W/tmp"
cd "$W/run"
LAUNCH="$B/zelk_sim -elf app.elf -nographic -semihosting --chip-dir $W/run"
: >"$W/run/zelk.iflash"
: >"$W/run/zelk.eeprom"

step "(w) a real QEMU run with --coverage against the same run without"
# A run takes some 35 ms, mostly QEMU's start; the mean of many runs
# against the same of the other, the two taking turns in three rounds.
: >"$B/w.all"
for round in 1 2 3; do
PATH="$W/qemu:$PATH" hyperfine -N --style basic --warmup 3 --runs 40 --export-csv "$B/w.csv" \
  -n coverage "$LAUNCH --coverage lcov:$W/run/app.info" -n plain "$LAUNCH" >/dev/null
awk -F, 'NR == 2 { a = $2; ac = $5 + $6 } NR == 3 { b = $2; bc = $5 + $6 } END { print a, b, ac, bc }' \
  "$B/w.csv" >>"$B/w.all"
done
# On a shared machine the wall time of so short a run is mostly others'
# work: the processor time the launch and QEMU used decides, the wall time
# is shown beside it.
awk '{ a += $1; b += $2; ac += $3; bc += $4 } END {
  printf "(w) real QEMU run, --coverage %.1f ms, without %.1f ms (wall, means: %.3fx); cpu %.1f ms against %.1f ms: %.3fx  target <= 1.10x  %s\n",
    a / NR * 1000, b / NR * 1000, a / b, ac / NR * 1000, bc / NR * 1000, ac / bc,
    ac / bc <= 1.10 ? "met" : "MISSED" }' "$B/w.all" | tee "$B/summary"

step "(x) the line map of a 16 MiB ELF with debug information"
"$B/make_debug_elf" "$W/debug.elf"
/usr/bin/time -f '%e s, max RSS %M KiB' -o "$B/x.time" "$B/coverage_bench" "$W/debug.elf" | tee "$B/x.out"
map_ms=$(sed -n 's/^line map \([0-9.]*\) ms.*/\1/p' "$B/x.out")
awk -v ms="$map_ms" -v t="$(cat "$B/x.time")" 'BEGIN {
  printf "(x) line map of a 16 MiB ELF %.0f ms (whole bench %s)  target < 1 s  %s\n", ms, t,
    ms < 1000 ? "met" : "MISSED" }' | tee -a "$B/summary"

step "(y) peak memory: a translation log once and 20000 times over"
for times in 1 20000; do
  PATH="$W/standin:$PATH" ZELK_STANDIN_RUN=08000040-08001040,08000100 ZELK_STANDIN_RUN_TIMES=$times \
    /usr/bin/time -f '%M' -o "$B/y-$times.kib" \
    "$B/zelk_sim" -elf app.elf -nographic --chip-dir "$W/run" --coverage "lcov:$W/run/y.info" >/dev/null 2>&1
done
awk -v once="$(cat "$B/y-1.kib")" -v many="$(cat "$B/y-20000.kib")" 'BEGIN {
  printf "(y) peak memory, log once %.1f MiB, 20000 times over %.1f MiB  target: the same  %s\n",
    once / 1024, many / 1024, many <= once * 1.1 + 1024 ? "met" : "MISSED" }' | tee -a "$B/summary"
