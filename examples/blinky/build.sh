#!/usr/bin/env bash
# Builds build/blinky.elf and build/blinky.fls.
#
# blinky.fls holds two images:
#   1. a copy of the application (raw blinky.elf flash image) at 0x08010000,
#      header at 0x0800FFC0
#   2. a 256-byte config block at 0x08020000, header at 0x0801FFC0
#
# Needs arm-none-eabi-gcc/objcopy, and cmake with a host C++17 compiler to
# build zelk_flash, whose pack command writes the .fls.
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(cd ../.. && pwd)

CC=${CC:-arm-none-eabi-gcc}
OBJCOPY=${OBJCOPY:-arm-none-eabi-objcopy}

CFLAGS=(-mcpu=cortex-m3 -mthumb -Os -ffreestanding -nostdlib
        -fno-tree-loop-distribute-patterns -Wall -Wextra -Werror)
LDFLAGS=(-Wl,--build-id=none -Wl,--orphan-handling=error)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p build
(cd src && "$CC" "${CFLAGS[@]}" "${LDFLAGS[@]}" -T blinky.ld startup.c main.c -o ../build/blinky.elf)
"$OBJCOPY" -O binary build/blinky.elf "$tmp/blinky.bin"

# Config block, read by main.c at 0x08020000 (all words little-endian):
#   magic "CFG1", version 1, blink delay 100000, name "blinky" (16 bytes),
#   rest erased (0xFF).
{
    printf 'CFG1'
    printf '\x01\x00\x00\x00'
    printf '\xa0\x86\x01\x00'
    printf 'blinky\0\0\0\0\0\0\0\0\0\0'
    head -c $((256 - 28)) /dev/zero | tr '\0' '\377'
} > "$tmp/config.bin"

cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja >/dev/null
cmake --build "$ROOT/build/native" --target zelk_flash >/dev/null
# Each header just below its data: 0x0800FFC0 and 0x0801FFC0.
"$ROOT/build/native/zelk_flash" pack -o build/blinky.fls \
    0x08010000="$tmp/blinky.bin" \
    0x08020000="$tmp/config.bin"

ls -l build/blinky.elf build/blinky.fls
