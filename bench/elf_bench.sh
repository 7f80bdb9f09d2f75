#!/usr/bin/env bash
# Times the launcher's ELF conversion against arm-none-eabi-objcopy -O binary
# of the same file, side by side in one hyperfine run. The file is a 16 MiB
# firmware-shaped ELF written by bench/make_big_elf.cpp: 200 flash sections
# back to back, .data loaded after them, .bss, symbols. The conversion runs
# through bench/elf_bench.cpp, which calls elf2bin and nothing else.
# Target: at most 1.0x objcopy's time.
#
#   bash bench/elf_bench.sh     alone: builds in Release under build/bench,
#                               works in build/bench/elf
#
# bench/run.sh sources this file and calls elf_bench_prepare and
# elf_bench_pair with its own B, W and run_pair.

# Both need ROOT (the repository), B (the Release build, with libzelk_core.a),
# W (a work folder) and TMPDIR, where elf2bin puts its image.
#
# elf_bench_prepare: builds the driver and the generator in $B, writes the
# ELF to $W/elf and checks that the driver's raw image is byte for byte
# what objcopy makes of it, so that the two commands timed do the same work.
elf_bench_prepare() {
  need_packages binutils-arm-none-eabi
  ELF_DIR=$W/elf
  OBJCOPY=$(command -v arm-none-eabi-objcopy)
  rm -rf "$ELF_DIR"
  mkdir -p "$ELF_DIR"
  "${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror -I"$ROOT/src" "$ROOT/bench/elf_bench.cpp" \
    "$B/libzelk_core.a" -o "$B/elf_bench"
  "${CXX:-c++}" -std=c++17 -O2 -Wall -Wextra -Werror "$ROOT/bench/make_big_elf.cpp" -o "$B/make_big_elf"
  "$B/make_big_elf" "$ELF_DIR/big.elf"
  rm -f "$TMPDIR"/zelk_raw_*
  local loader raw
  loader=$("$B/elf_bench" "$ELF_DIR/big.elf")
  raw=${loader#*file=\"}
  raw=${raw%\"}
  "$OBJCOPY" -O binary "$ELF_DIR/big.elf" "$ELF_DIR/objcopy.bin"
  cmp "$raw" "$ELF_DIR/objcopy.bin" ||
    { echo "the raw image differs from objcopy's output" >&2; return 1; }
  case $loader in
    *addr=0x8000000,*) ;;
    *) echo "unexpected loader argument: $loader" >&2; return 1 ;;
  esac
  rm -f "$raw" "$ELF_DIR/objcopy.bin"
  # The files just written are on their way to the disk; let that finish
  # before anything is timed.
  sync
}

# elf_bench_pair: the timed pair. Each run starts with neither output file
# present, as a launch and a build step would.
elf_bench_pair() {
  run_pair e "ELF to raw image (16 MiB, 200 sections)" 1.0 \
    elf2bin "$B/elf_bench $ELF_DIR/big.elf" \
    objcopy "$OBJCOPY -O binary $ELF_DIR/big.elf $ELF_DIR/objcopy.bin" \
    --runs 40 --prepare "sh -c 'rm -f $TMPDIR/zelk_raw_* $ELF_DIR/objcopy.bin'"
  rm -f "$TMPDIR"/zelk_raw_* "$ELF_DIR/objcopy.bin"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  ROOT=$PWD
  source scripts/lib.sh
  need_packages hyperfine cmake ninja-build g++ libre2-dev

  B=$ROOT/build/bench
  W=$B/elf-alone
  bench_take_turn "$B"
  step "Release build in build/bench"
  cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
  cmake --build "$B" --target zelk_core
  mkdir -p "$W/tmp"
  export TMPDIR=$W/tmp

  # The pair as bench/run.sh times it, in several rounds whose order
  # alternates, since hyperfine times one command's runs before the
  # other's and a busy spell of the machine lands on one side only. Each
  # round's ratio is of the medians; the figure is the median round.
  ROUNDS=${ELF_BENCH_ROUNDS:-5}
  run_pair() {
    local key=$1 what=$2 target=$3 name=$4 cmd=$5 base_name=$6 base_cmd=$7
    shift 7
    step "($key) $what, $ROUNDS rounds"
    local round ratios=()
    for round in $(seq "$ROUNDS"); do
      local order=(-n "$name" "$cmd" -n "$base_name" "$base_cmd")
      if [ $((round % 2)) -eq 0 ]; then order=(-n "$base_name" "$base_cmd" -n "$name" "$cmd"); fi
      hyperfine -N --style basic --warmup 3 "$@" --export-csv "$W/$key-$round.csv" "${order[@]}" \
        2>/dev/null | grep -E '^(Benchmark|  Time)'
      ratios+=("$(awk -F, -v name="$name" -v base="$base_name" '
        $1 == name { ours = $4 } $1 == base { theirs = $4 }
        END { printf "%.3f %.2f %.2f", ours / theirs, ours * 1000, theirs * 1000 }' \
        "$W/$key-$round.csv")")
      echo "${ratios[-1]}" | awk -v round="$round" -v name="$name" -v base="$base_name" \
        '{ printf "round %s: %s %s ms, %s %s ms, %sx\n", round, name, $2, base, $3, $1 }'
    done
    printf '%s\n' "${ratios[@]}" | sort -n | awk -v what="$what" -v target="$target" \
      -v name="$name" -v base="$base_name" -v n="$ROUNDS" '
      { r[NR] = $1; o[NR] = $2; t[NR] = $3 }
      END {
        m = int((n + 1) / 2)
        printf "%s: median round %s %.2f ms, %s %.2f ms, %.2fx (rounds %.2fx to %.2fx), target <= %sx %s\n",
          what, name, o[m], base, t[m], r[m], r[1], r[n], target, r[m] <= target ? "met" : "MISSED"
      }'
  }

  step "ELF and checks"
  elf_bench_prepare
  elf_bench_pair
fi
