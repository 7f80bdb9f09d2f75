#!/usr/bin/env bash
# The release archives: two runs of scripts/release.sh give the same bytes,
# and each archive, unpacked into a fresh folder whose name holds a space,
# works on its own: the version, zelk_flash info on the sample, a launch of
# the sample from its folder, and the firmware found in the chip beside the
# launcher. Only the stand-in simulator comes from the build; the .exe files
# run under Wine. A firmware project's tests run through the CMake package
# of an installation and of the unpacked Linux archive. Runs alone too
# (bash scripts/test-release.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ wine64 g++-mingw-w64-x86-64-posix gcc-arm-none-eabi \
  libre2-dev dpkg-dev unicode-data python3-six

started=$SECONDS
windows_take_turn

step "stand-in simulators"
[ -f build/native/build.ninja ] || cmake -S . -B build/native -G Ninja >/dev/null
bash scripts/build-re2-mingw.sh
[ -f build/win/build.ninja ] || cmake -S . -B build/win -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/native --target qemu-system-cskyv2
cmake --build build/win --target qemu-system-cskyv2

work=$PWD/build/release-test
rm -rf "$work"
mkdir -p "$work/first run"
bash scripts/release.sh
cp dist/* "$work/first run/"
bash scripts/release.sh
step "the second run gave the first run's bytes"
for file in "$work/first run"/*; do cmp "$file" "dist/${file##*/}"; done

fail() { echo "FAILED: $*" >&2; exit 1; }

# Unpacks the archive $1 into a fresh folder of $work named "un packed $2",
# puts the stand-in $3 alone into "$work/sim $2", and sets $dir to the
# release's folder, $sim to the stand-in's and $version to the archive's.
unpack() {
  local name=${1##*/}
  mkdir "$work/un packed $2" "$work/sim $2"
  (cd "$work/un packed $2" && cmake -E tar xf "$1")
  dir=$(echo "$work/un packed $2"/zelk_sim-*)
  [ -d "$dir" ] || fail "$name holds no zelk_sim-* folder"
  version=${dir##*/zelk_sim-}
  version=${version%-*-*}
  cp "$3" "$work/sim $2/"
  sim="$work/sim $2"
}

# Runs the words after $1 and fails unless they end with status 0 and their
# output (stdout and stderr, without CRs) matches the pattern $1.
expect() {
  local out
  out=$("${@:2}" 2>&1 | tr -d '\r') || fail "${*:2}: status $?"
  [[ "$out" == $1 ]] || fail "${*:2}: $out"
}

# Checks the unpacked release in $dir, whose programs end in $1 (.exe or
# nothing), started through the loader $2 (Wine, or none).
check_release() (
  local exe=$1 run=("${@:2}") listing wrapper=
  listing=$(cd "$dir" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
  # The netduino2 wrapper is a POSIX shell script: Linux only.
  [ -n "$exe" ] || wrapper="./share/zelk_sim/netduino2/qemu-system-cskyv2 "
  [ "$listing" = "./LICENSE ./README.md ./examples/blinky/build/blinky.elf \
./examples/blinky/build/blinky.fls ./examples/blinky/src/blinky.ld ./examples/blinky/src/main.c \
./examples/blinky/src/startup.c ./lib/cmake/zelk_sim/zelk_simConfig.cmake \
./lib/cmake/zelk_sim/zelk_simConfigVersion.cmake ./lib/cmake/zelk_sim/zelk_sim_cases.cmake \
./share/zelk_sim/bazel/zelk.bzl ${wrapper}./zelk_flash$exe ./zelk_sim$exe " ] ||
    fail "the release holds $listing"
  cd "$dir/examples/blinky"
  expect "zelk_sim$exe v$version (QEMU V8.0.0) B20241207" "${run[@]}" "$dir/zelk_sim$exe" -v
  expect "*720 bytes, 2 images*" "${run[@]}" "$dir/zelk_flash$exe" info build/blinky.fls
  expect "stand-in qemu-system-cskyv2: machine zelk *zelk.iflash (134217728 bytes)*  loader  *" \
    "${run[@]}" "$dir/zelk_sim$exe" -prj -nographic
  # The launch wrote the sample's firmware into the chip beside the launcher.
  expect "flash already holds build/blinky.fls" "${run[@]}" "$dir/zelk_flash$exe" diff build/blinky.fls
)

step "the Linux archive, unpacked and run"
unpack "$PWD"/dist/zelk_sim-*-linux-x64.tar.gz linux build/native/qemu-system-cskyv2
for program in "$dir/zelk_sim" "$dir/zelk_flash"; do
  if readelf -l "$program" | grep -q INTERP; then fail "$program is not static"; fi
done
mkdir "$work/tmp"
PATH="$sim:$PATH" TMPDIR="$work/tmp" check_release ""

step "a firmware project's tests through the CMake package, installed and unpacked"
cmake --install build/native --prefix "$work/installed" >/dev/null
bash tests/firmware_project/run.sh "$work/installed" emulator "$work/firmware-emulator" \
  build/native/qemu-system-cskyv2
bash tests/firmware_project/run.sh "$dir" function "$work/firmware-function" \
  build/native/qemu-system-cskyv2

step "firmware tests as Bazel tests through the installed zelk.bzl"
bash tests/bazel_project/run.sh "$work/installed" "$work/bazel" || [ $? = 77 ]

step "the Windows archive, unpacked and run under Wine"
unpack "$PWD"/dist/zelk_sim-*-windows-x64.zip windows build/win/qemu-system-cskyv2.exe
for program in "$dir/zelk_sim.exe" "$dir/zelk_flash.exe"; do check_no_runtime_dll "$program"; done
wine_start
# Wine appends WINEPATH to the Windows PATH.
WINEPATH="Z:${sim//\//\\}" check_release .exe "$wine"

step "release archives passed in $((SECONDS - started)) s"
