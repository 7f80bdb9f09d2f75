#!/usr/bin/env bash
# Times the launcher's file work against the plain tools that do the same
# I/O, side by side in one run, and prints each pair's ratio against its
# target. Builds in Release under build/bench; works on the same disk, in
# build/bench/work.
#
#   bash bench/run.sh
#
# (a) first launch in a fresh folder (writes the 128 MiB flash file)
#     against dd writing 128 MiB                               target <= 1.3x
# (b) launch with both backing files present against the same simulator
#     command line run directly through sh -c                   target <= 1.5x
# (c) re-copying an unchanged 8 MiB firmware image against cmp of the same
#     two byte ranges                                           target <= 1.3x
# (d) copying a fully changed 8 MiB firmware image against dd conv=notrunc
#     of the same bytes to the same place                       target <= 1.3x
# (e) converting a 16 MiB ELF against arm-none-eabi-objcopy -O binary of
#     it                                                         target <= 1.0x
# (f) zelk_flash diff of the unchanged 8 MiB image against cmp of the same
#     bytes                                                       target <= 1.0x
# (g) zelk_flash erase flash, after 8 MiB of firmware was written, against
#     dd writing 128 MiB over a file in place                     target <= 1.0x
# (h) zelk_flash info of the 16 MiB ELF against arm-none-eabi-readelf -S
#                                                                 target <= 1.0x
# (i) zelk_flash erase flash of an erased flash (it only reads) against dd
#     writing 128 MiB over a file in place                       target <= 0.8x
# (j) zelk_flash erase flash of a fully written flash (every byte differs)
#     against the same dd                                         target <= 1.3x
# (k) a watched launch whose simulator prints 256 MiB, with an --expect
#     that never matches, against the same line's output through cat
#                                                                 target <= 1.25x
# (l) a watched launch's reaction to its expected text: from the text on
#     its standard output to its exit, the simulator ended
#     (bench/reaction_bench.cpp, median of 40)                     aim < 20 ms
# (m) (b) with the chip in a folder of its own (--chip-dir)      target <= 1.5x
# (n) peak memory (max RSS, GNU time) of a watched launch with an --expect
#     that never matches, through 60 s of one-byte writes and through 60 s
#     of a log line every 10 ms; ZELK_BENCH_MEMORY_SECONDS shortens both
#                                                             target < 16 MiB
# (o) a send's round trip: from the prompt on a watched launch's output
#     to the simulator's answer there, the launch having sent what the
#     prompt asks for (bench/reaction_bench.cpp --until, median of 40)
#                                                                   aim < 5 ms
# (p) a launch with --fresh-chip (a new 128 MiB flash file in a folder of
#     its own, removed when the run is over) against dd writing 128 MiB and
#     rm of it                                                  target <= 1.3x
# (q) (k) watched by 8 patterns (4 --expect-re, 4 --fail-re) that never
#     match, against the same cat                                target <= 1.25x
# (r) peak memory of a watched launch whose simulator prints one 64 MiB
#     line with no end, watched by those patterns              target < 16 MiB
# (s) a launch with --fresh-chip --chip-from DIR (the template's 128 MiB
#     flash file cloned or copied) against a plain --fresh-chip launch
#                                                               target <= 1.3x
# (t) zelk_flash load of 32 KiB into flash where every 4 KiB piece differs,
#     against dd conv=notrunc of the same bytes to the same place
#                                                               target <= 1.5x
# (u) one million Unity result lines read with --cases unity and written as
#     a JUnit report of a million testcases, against the same output
#     relayed by a watched launch with an --expect that never matches
#                                                                  target <= 3x
# (v) peak memory (max RSS) of (u)'s launch with its report   target < 16 MiB
# (w) 256 MiB of 64-byte alphanumeric log lines, in uneven pieces, watched
#     by --cases unity and (q)'s 8 patterns, against the same output
#     through cat                                                target <= 1.25x
# (x) peak memory of (w)'s launch                               target < 16 MiB
#
# The copies (c) and (d) go through bench/copy_bench.cpp, which calls the
# launcher's copier and nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/lib.sh

need_packages hyperfine cmake ninja-build g++ time libre2-dev

B=$ROOT/build/bench
W=$B/work
RESULTS=$B/results

bench_take_turn "$B"

step "Release build in build/bench"
cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build "$B" --target zelk_sim zelk_flash qemu-system-cskyv2 zelk_core
# Linked as the launcher is (static), so that its start costs the same.
"${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror -Isrc bench/copy_bench.cpp \
  "$B/libzelk_core.a" -static -o "$B/copy_bench"
"${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror bench/reaction_bench.cpp -o "$B/reaction_bench"

# bin: the launcher and its backing files; sim: the stand-in, first on the
# search path; run: the current folder; tmp: the raw program images.
rm -rf "$W" "$RESULTS"
mkdir -p "$W/bin" "$W/sim" "$W/run" "$W/tmp" "$W/keep" "$W/fw" "$RESULTS"
cp "$B/zelk_sim" "$W/bin/"
cp "$B/qemu-system-cskyv2" "$W/sim/"
cp tests/fixtures/elf/blink/blink.elf "$W/run/app.elf"
export PATH="$W/sim:$PATH" TMPDIR="$W/tmp"
cd "$W/run"

LAUNCH="$W/bin/zelk_sim -elf app.elf -nographic"
FLASH=$W/bin/zelk.iflash
SUMMARY=()
# Other work on a shared machine skews runs of a few milliseconds; as root
# the timed commands go ahead of it.
NICE=()
[ "$(id -u)" -eq 0 ] && NICE=(nice -n -15)

# Other work on a shared machine comes and goes while a pair is timed, so
# each pair is timed in several rounds; the summary takes the median of the
# rounds' medians and of their ratios, which a round slowed throughout on
# one side hardly moves. ROUNDS=1 times each pair once.
ROUNDS=${ROUNDS:-5}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# run_pair KEY WHAT TARGET NAME CMD BASE_NAME BASE_CMD [hyperfine options]
# Times CMD and BASE_CMD in one hyperfine run (no shell in between) per
# round and keeps the figures for the summary. The options count per round.
run_pair() {
  local key=$1 what=$2 target=$3 name=$4 cmd=$5 base_name=$6 base_cmd=$7
  shift 7
  step "($key) $what"
  local round style csv rounds=()
  for round in $(seq "$ROUNDS"); do
    style=basic
    [ "$round" -gt 1 ] && style=none
    csv=$RESULTS/$key-$round.csv
    "${NICE[@]}" hyperfine -N --style $style --warmup 3 "$@" \
      --export-csv "$csv" --export-markdown "$RESULTS/$key-$round.md" \
      -n "$name" "$cmd" -n "$base_name" "$base_cmd"
    # Medians in milliseconds: ours, theirs, ratio.
    rounds+=("$(awk -F, 'NR == 2 { a = $4 } NR == 3 { b = $4 } END { print a * 1000, b * 1000, a / b }' "$csv")")
    echo "round $round: ${rounds[-1]}" | awk '{ printf "%s %s %.2f ms, %.2f ms, %.2fx\n", $1, $2, $3, $4, $5 }'
  done
  local ours theirs ratio
  ours=$(printf '%s\n' "${rounds[@]}" | awk '{ print $1 }' | median)
  theirs=$(printf '%s\n' "${rounds[@]}" | awk '{ print $2 }' | median)
  ratio=$(printf '%s\n' "${rounds[@]}" | awk '{ print $3 }' | median)
  SUMMARY+=("$(awk -v key="$key" -v what="$what" -v target="$target" -v name="$name" \
    -v base="$base_name" -v ours="$ours" -v theirs="$theirs" -v ratio="$ratio" 'BEGIN {
      printf "(%s) %-40s %-9s %8.2f ms   %-8s %8.2f ms   %5.2fx   target <= %sx  %s\n",
        key, what, name, ours, base, theirs, ratio, target, ratio <= target ? "met" : "MISSED"
    }')")
}

run_pair a "first launch (128 MiB flash file)" 1.3 \
  launcher "$LAUNCH" \
  dd "dd if=/dev/zero of=$W/dd.bin bs=1M count=128 status=none" \
  --runs 6 \
  --prepare "sh -c 'rm -f $W/bin/zelk.iflash $W/bin/zelk.eeprom $W/tmp/zelk_raw_*'" \
  --prepare "rm -f $W/dd.bin"
rm -f "$W/dd.bin"

# A fresh chip's folder goes with its run, so each run writes 128 MiB and
# removes it again; dd's file is removed after each run as well.
run_pair p "fresh-chip launch (128 MiB flash file)" 1.3 \
  launcher "$LAUNCH --fresh-chip" \
  dd "sh -c 'dd if=/dev/zero of=$W/dd.bin bs=1M count=128 status=none; rm $W/dd.bin'" \
  --runs 6

# A template made once, as a user prepares one: a launch, then a load.
mkdir -p "$W/golden"
"$W/bin/zelk_sim" -elf app.elf -nographic --chip-dir "$W/golden" </dev/null >/dev/null
head -c 32768 /dev/urandom >"$W/fw/load.bin"
"$B/zelk_flash" --dir "$W/golden" load eeprom 0 "$W/fw/load.bin" >/dev/null
run_pair s "fresh chip from a template (--chip-from)" 1.3 \
  template "$LAUNCH --fresh-chip --chip-from $W/golden" \
  plain "$LAUNCH --fresh-chip" \
  --runs 6

# Each run finds the 32 KiB erased again, so every piece is written.
run_pair t "zelk_flash load of 32 KiB (8 pieces written)" 1.5 \
  load "$B/zelk_flash --dir $W/golden load flash 0x08100000 $W/fw/load.bin" \
  dd "dd if=$W/fw/load.bin of=$W/golden/zelk.iflash bs=32k seek=32 conv=notrunc status=none" \
  --runs 40 --prepare "sh -c 'head -c 32768 /dev/zero | tr \\\\0 \\\\377 | dd of=$W/golden/zelk.iflash bs=32k seek=32 conv=notrunc status=none'"

# The simulator command line the launcher runs with the words "$@", as the
# stand-in received it, quoted for sh; its raw program image is kept aside,
# while those of the timed launches are cleared between runs.
recorded_line() {
  TMPDIR=$W/keep ZELK_STANDIN_RECORD=$W/record.txt "$W/bin/zelk_sim" -elf app.elf -nographic \
    "$@" </dev/null >/dev/null
  local line=qemu-system-cskyv2 arg
  while IFS= read -r arg; do line+=" $(printf '%q' "$arg")"; done <"$W/record.txt"
  echo "$line"
}
LINE=$(recorded_line)
run_pair b "launch, backing files present" 1.5 \
  launcher "$LAUNCH" \
  "sh -c" "sh -c '$LINE'" \
  --runs 60 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'"

run_pair k "watched launch relaying 256 MiB" 1.25 \
  launcher "env ZELK_STANDIN_CHATTER_BYTES=268435456 $LAUNCH --expect NEVER-SEEN" \
  cat "env ZELK_STANDIN_CHATTER_BYTES=268435456 sh -c '$LINE | cat'" \
  --runs 10 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'" --ignore-failure

PATTERNS=(--expect-re 'boot v\d+\.\d+ ok$' --expect-re '^login: ' --expect-re 'PASS: \w+'
  --expect-re 'NEVER-\d+' --fail-re 'PANIC at 0x[0-9a-f]+' --fail-re 'Hard ?Fault'
  --fail-re 'ASSERT(ION)? failed' --fail-re '^FATAL')
run_pair q "relaying 256 MiB, 8 patterns" 1.25 \
  launcher "env ZELK_STANDIN_CHATTER_BYTES=268435456 $LAUNCH ${PATTERNS[*]@Q}" \
  cat "env ZELK_STANDIN_CHATTER_BYTES=268435456 sh -c '$LINE | cat'" \
  --runs 10 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'" --ignore-failure

step "(r) peak memory, one 64 MiB line with no end, 8 patterns"
/usr/bin/time -f %M -o "$RESULTS/r.txt" env ZELK_STANDIN_LINE_BYTES=67108864 \
  $LAUNCH "${PATTERNS[@]}" >/dev/null 2>&1 || true
rm -f "$W"/tmp/zelk_raw_*
LONG_KIB=$(tail -n 1 "$RESULTS/r.txt")
echo "$LONG_KIB KiB"
SUMMARY+=("$(awk -v kib="$LONG_KIB" 'BEGIN {
    printf "(r) %-40s launcher  %8.2f MiB peak%29s target < 16 MiB  %s\n",
      "peak memory, 64 MiB line, 8 patterns", kib / 1024, "", kib < 16 * 1024 ? "met" : "MISSED"
  }')")

step "(l) reaction of a watched launch to its expected text"
REACTION=$(ZELK_STANDIN_PRINT=PASS ZELK_STANDIN_HOLD_MS=10000 \
  "$B/reaction_bench" 40 PASS $LAUNCH --expect PASS)
rm -f "$W"/tmp/zelk_raw_*
echo "$REACTION ms"

step "(o) a send's round trip: the prompt on the launcher's output to the answer"
ROUND_TRIP=$(ZELK_STANDIN_ANSWER='login: =root=hello, root' ZELK_STANDIN_HOLD_MS=10000 \
  "$B/reaction_bench" 40 "login: " --until "hello, root" $LAUNCH --expect "login: " --send root \
  --expect never)
rm -f "$W"/tmp/zelk_raw_*
echo "$ROUND_TRIP ms"

mkdir -p "$W/chip"
cp "$FLASH" "$W/bin/zelk.eeprom" "$W/chip/"
CHIP_LINE=$(recorded_line --chip-dir "$W/chip")
run_pair m "launch, chip in a folder of its own" 1.5 \
  launcher "$LAUNCH --chip-dir $W/chip" \
  "sh -c" "sh -c '$CHIP_LINE'" \
  --runs 60 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'"

# The launcher's memory must not grow with the run's length nor with the
# number of pieces its output comes in. GNU time reports the largest of the
# launcher and the processes it waited for, so the figure bounds the
# launcher's own.
MEMORY_SECONDS=${ZELK_BENCH_MEMORY_SECONDS:-60}
# A summary row: the launcher's peak memory of KIB kibibytes, against 16 MiB.
peak_row() {
  SUMMARY+=("$(awk -v key="$1" -v what="$2" -v kib="$3" 'BEGIN {
      printf "(%s) %-40s launcher  %8.2f MiB peak%29s target < 16 MiB  %s\n",
        key, what, kib / 1024, "", kib < 16 * 1024 ? "met" : "MISSED"
    }')")
}
# Runs COMMAND... and adds a summary row of its peak memory as (KEY) WHAT.
PEAKS=0
measure_peak() {
  local key=$1 what=$2 out="$RESULTS/peak-$((++PEAKS)).txt" kib
  shift 2
  step "($key) $what"
  /usr/bin/time -f %M -o "$out" "$@" >/dev/null 2>&1 || true
  rm -f "$W"/tmp/zelk_raw_*
  # The last line: before it, time may tell the launcher's status.
  kib=$(tail -n 1 "$out")
  echo "$kib KiB"
  peak_row "$key" "$what" "$kib"
}
peak_memory() {
  measure_peak "$1" "$2" env ZELK_STANDIN_CHATTER_BYTES="$3" $LAUNCH --expect never --timeout "$MEMORY_SECONDS"
}
peak_memory n "peak memory, ${MEMORY_SECONDS} s of one-byte writes" -2
peak_memory n "peak memory, ${MEMORY_SECONDS} s of log lines" -1

awk 'BEGIN { for (i = 1; i <= 1000000; i++) printf "test/test_main.c:%d:test_case_%d:PASS\n", i, i
             print "-----------------------\n1000000 Tests 0 Failures 0 Ignored \nOK" }' >"$W/unity.txt"
run_pair u "a million Unity results and their report" 3 \
  launcher "env ZELK_STANDIN_REPLAY=$W/unity.txt $LAUNCH --cases unity --junit $W/cases.xml" \
  relay "env ZELK_STANDIN_REPLAY=$W/unity.txt $LAUNCH --expect NEVER-SEEN" \
  --runs 5 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'" --ignore-failure
measure_peak v "peak memory, a million Unity results" \
  env ZELK_STANDIN_REPLAY="$W/unity.txt" $LAUNCH --cases unity --junit "$W/cases.xml"
rm -f "$W/cases.xml"

# Log lines of letters and digits hold none of the framework's rare bytes:
# the reader passes over them by the literals its rows need.
awk 'BEGIN { srand(7); a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
             for (i = 0; i < 16384; i++) { l = ""; for (j = 0; j < 63; j++) l = l substr(a, int(rand() * 62) + 1, 1); print l } }' >"$W/alnum.txt"
for _ in $(seq 256); do cat "$W/alnum.txt"; done >"$W/alnum256.txt"
run_pair w "256 MiB log lines, --cases unity, 8 patterns" 1.25 \
  launcher "env ZELK_STANDIN_REPLAY=$W/alnum256.txt $LAUNCH --cases unity ${PATTERNS[*]@Q}" \
  cat "env ZELK_STANDIN_REPLAY=$W/alnum256.txt sh -c '$LINE | cat'" \
  --runs 10 --prepare "sh -c 'rm -f $W/tmp/zelk_raw_*'" --ignore-failure
measure_peak x "peak memory, (w)" \
  env ZELK_STANDIN_REPLAY="$W/alnum256.txt" $LAUNCH --cases unity "${PATTERNS[@]}"
rm -f "$W/alnum.txt"
rm -f "$W/alnum256.txt"

# One 8 MiB image of random bytes at 0x08100000, its header just below, so
# that header and data are one run of flash from offset 0xFFFC0.
head -c $((8 << 20)) /dev/urandom >"$W/fw/data.bin"
head -c $((8 << 20)) /dev/urandom >"$W/fw/other.bin"
"$B/zelk_flash" pack -o "$W/fw/fw.fls" 0x08100000="$W/fw/data.bin" >/dev/null
FLS_SIZE=$(stat -c %s "$W/fw/fw.fls")
HEADER_OFFSET=$((0xFFFC0))
"$B/copy_bench" "$W/fw/fw.fls" "$FLASH"
cmp -s -i 0:$HEADER_OFFSET -n "$FLS_SIZE" "$W/fw/fw.fls" "$FLASH" ||
  { echo "the copier did not store the image" >&2; exit 1; }

run_pair c "re-copy of an unchanged 8 MiB image" 1.3 \
  copier "$B/copy_bench $W/fw/fw.fls $FLASH" \
  cmp "cmp -i 0:$HEADER_OFFSET -n $FLS_SIZE $W/fw/fw.fls $FLASH" \
  --runs 60

# Every data chunk differs before each run: other bytes go over the image.
run_pair d "copy of a fully changed 8 MiB image" 1.3 \
  copier "$B/copy_bench $W/fw/fw.fls $FLASH" \
  dd "dd if=$W/fw/fw.fls of=$FLASH bs=1M oflag=seek_bytes seek=$HEADER_OFFSET conv=notrunc status=none" \
  --runs 60 --prepare "dd if=$W/fw/other.bin of=$FLASH bs=1M seek=1 conv=notrunc status=none"
cmp -s -i 0:$HEADER_OFFSET -n "$FLS_SIZE" "$W/fw/fw.fls" "$FLASH" ||
  { echo "the copier did not store the changed image" >&2; exit 1; }

# zelk_flash finds the backing files in bin through --dir.
FLASH_TOOL="$B/zelk_flash --dir $W/bin"
$FLASH_TOOL diff "$W/fw/fw.fls" >/dev/null ||
  { echo "zelk_flash diff found a difference after the copy" >&2; exit 1; }
run_pair f "zelk_flash diff, unchanged 8 MiB image" 1.0 \
  diff "$FLASH_TOOL diff $W/fw/fw.fls" \
  cmp "cmp -i 0:$HEADER_OFFSET -n $FLS_SIZE $W/fw/fw.fls $FLASH" \
  --runs 60

# Each erase finds 8 MiB of firmware in flash; dd rewrites a 128 MiB file
# of its own in place.
head -c $((128 << 20)) /dev/zero >"$W/dd.bin"
run_pair g "zelk_flash erase flash (8 MiB written)" 1.0 \
  erase "$FLASH_TOOL erase flash" \
  dd "dd if=/dev/zero of=$W/dd.bin bs=1M count=128 conv=notrunc status=none" \
  --runs 20 --prepare "dd if=$W/fw/other.bin of=$FLASH bs=1M seek=1 conv=notrunc status=none"

# The flash already erased: every run reads it whole and writes nothing.
$FLASH_TOOL erase flash >/dev/null
run_pair i "zelk_flash erase flash (already erased)" 0.8 \
  erase "$FLASH_TOOL erase flash" \
  dd "dd if=/dev/zero of=$W/dd.bin bs=1M count=128 conv=notrunc status=none" \
  --runs 20

# Every byte of flash differs before each run: all 128 MiB are rewritten.
run_pair j "zelk_flash erase flash (fully written)" 1.3 \
  erase "$FLASH_TOOL erase flash" \
  dd "dd if=/dev/zero of=$W/dd.bin bs=1M count=128 conv=notrunc status=none" \
  --runs 20 --prepare "dd if=/dev/zero of=$FLASH bs=1M count=128 conv=notrunc status=none"
rm -f "$W/dd.bin"

# ---------------------------------------------------------------------------
# (e) converting a 16 MiB ELF of 200 flash sections against
# arm-none-eabi-objcopy -O binary of it; set up in bench/elf_bench.sh,
# which also runs alone.
source "$ROOT/bench/elf_bench.sh"
elf_bench_prepare
elf_bench_pair
run_pair h "zelk_flash info of the 16 MiB ELF" 1.0 \
  info "$B/zelk_flash info $ELF_DIR/big.elf" \
  readelf "$(command -v arm-none-eabi-readelf) -S $ELF_DIR/big.elf" \
  --runs 60
# ---------------------------------------------------------------------------

step "summary: medians of $ROUNDS rounds (hyperfine tables in ${RESULTS#"$ROOT"/})"
printf '%s\n' "${SUMMARY[@]}"
echo "(l) reaction: from the expected text to the launcher's exit, the simulator ended: $REACTION ms (aim < 20 ms)"
echo "(o) a send's round trip: from the prompt on the launcher's output to the simulator's answer there: $ROUND_TRIP ms (aim < 5 ms)"
