#!/usr/bin/env bash
# Builds the launcher and the stand-in simulator, then launches the sample
# project in project mode, as a firmware developer would from its folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ libgtest-dev libre2-dev libcmocka-dev libcpputest-dev

step "building"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native --target zelk_sim zelk_flash qemu-system-cskyv2
bin="$PWD/build/native"

step "cd examples/blinky && zelk_sim -prj -nographic"
# The stand-in answers to the simulator's name; the backing files are made
# beside the launcher, in $bin.
cd examples/blinky
status=0
PATH="$bin:$PATH" "$bin/zelk_sim" -prj -nographic || status=$?
echo "exit status: $status"
ls -l "$bin/zelk.iflash" "$bin/zelk.eeprom"

step "a firmware test as CI runs it: --expect, --fail, --timeout, --junit"
# The stand-in plays the firmware's console here: it prints what
# ZELK_STANDIN_PRINT says, then runs on as a firmware that never ends
# would, until the launcher ends it at the expected text.
report="$bin/blinky-report.xml"
status=0
PATH="$bin:$PATH" ZELK_STANDIN_PRINT='blinky: config block found, delay 100000\nblinky: PASS\n' \
  ZELK_STANDIN_HOLD_MS=60000 \
  "$bin/zelk_sim" -prj -nographic --expect "PASS" --fail "FAIL" --timeout 10 --junit "$report" ||
  status=$?
echo "exit status: $status"
cat "$report"

step "zelk_flash info build/blinky.fls && zelk_flash diff build/blinky.fls"
"$bin/zelk_flash" info build/blinky.fls
"$bin/zelk_flash" diff build/blinky.fls
step "zelk_flash dump flash 0x0800ffc0 96: the first image's header and data"
"$bin/zelk_flash" dump flash 0x0800ffc0 96
