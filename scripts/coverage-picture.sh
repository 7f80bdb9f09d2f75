#!/usr/bin/env bash
# Runs the coverage firmware (tests/fixtures/elf/coverage) on Debian's
# qemu-system-arm through the launcher with --coverage, renders the
# tracefile with genhtml and takes a picture of its page for main.c with
# Chromium, headless. Leaves build/coverage-picture/{cov.info,html/,main.c.png}.
#
#   bash scripts/coverage-picture.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/lib.sh

need_packages cmake ninja-build g++ libre2-dev qemu-system-arm lcov chromium

OUT=$ROOT/build/coverage-picture
cmake -S . -B build/native -G Ninja >/dev/null
cmake --build build/native --target zelk_sim >/dev/null
rm -rf "$OUT"
mkdir -p "$OUT/qemu" "$OUT/tmp"
cp standin/netduino2/qemu-system-cskyv2 "$OUT/qemu/"
cp tests/fixtures/elf/coverage/main.c tests/fixtures/elf/coverage/coverage.elf "$OUT/"
cd "$OUT"
PATH="$OUT/qemu:$PATH" TMPDIR="$OUT/tmp" "$ROOT/build/native/zelk_sim" -elf coverage.elf -nographic \
  -semihosting --fresh-chip --coverage lcov:cov.info --coverage-strip /firmware/coverage
genhtml -q -o html cov.info
page=$(find html -name 'main.c.gcov.html' | head -n 1)
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1000,1500 \
  --screenshot="$OUT/main.c.png" "file://$OUT/$page" 2>/dev/null
echo "picture: $OUT/main.c.png"
