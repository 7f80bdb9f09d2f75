#!/usr/bin/env bash
# Builds the launcher and the stand-in simulator, then launches the sample
# project in project mode, as a firmware developer would from its folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ libgtest-dev

step "building"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native --target zelk_sim qemu-system-cskyv2
bin="$PWD/build/native"

step "cd examples/blinky && zelk_sim -prj -nographic"
# The stand-in answers to the simulator's name; the backing files are made
# beside the launcher, in $bin.
cd examples/blinky
PATH="$bin:$PATH" "$bin/zelk_sim" -prj -nographic
echo "exit status: $?"
ls -l "$bin/zelk.iflash" "$bin/zelk.eeprom"
echo "the sample's first image header and data, now in flash at offset 0xffc0:"
od -A x -t x1 -j $((0xFFC0)) -N 96 "$bin/zelk.iflash"
