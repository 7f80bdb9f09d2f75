#!/usr/bin/env bash
# The Windows leg: cross-builds the launcher, the stand-in and the tests as
# static .exe files and runs them under Wine — the unit tests as they are,
# then the same end-to-end suite as the native leg, pointed at the .exe
# files. Runs alone too (bash scripts/test-windows.sh); words given are
# handed to both test programs, --gtest_filter=... say.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ libgtest-dev googletest wine64 g++-mingw-w64-x86-64-posix libxml2-utils \
  libre2-dev dpkg-dev unicode-data python3-six libcmocka-dev libcpputest-dev

started=$SECONDS
root=$PWD

windows_take_turn

bash scripts/build-re2-mingw.sh
step "Windows cross build"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win --target zelk_sim zelk_flash qemu-system-cskyv2 zelk_unit_tests zelk_wine_runner
# Static: no mingw-w64 runtime DLL may be needed beside the .exe.
for exe in build/win/zelk_sim.exe build/win/zelk_flash.exe build/win/qemu-system-cskyv2.exe \
    build/win/tests/zelk_unit_tests.exe; do
  check_no_runtime_dll "$exe"
done

# The end-to-end tests are a native program that starts the .exe files.
if [ ! -f build/native/build.ninja ]; then
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/native --target zelk_e2e_tests

wine_start
# Left behind by end-to-end runs that were cut short: drive letters whose
# folder is gone, and the launcher copies in drive C.
for link in "$WINEPREFIX"/dosdevices/?:; do
  if [ -L "$link" ] && [ ! -e "$link" ]; then rm -f "$link"; fi
done
rm -rf "$WINEPREFIX"/drive_c/zelk_e2e_*
# The unit tests convert in the profile's Temp folder, and the images they
# leave are named after process ids that Wine hands out again, so each run
# starts with the folder empty.
rm -rf "$wine_temp"
mkdir -p "$wine_temp"

step "unit tests under Wine"
"$wine" build/win/tests/zelk_unit_tests.exe --gtest_brief=1 "$@"

step "end-to-end tests against the .exe under Wine"
ZELK_WINE="$wine" \
ZELK_WINE_RUNNER="$root/build/win/tests/zelk_wine_runner.exe" \
ZELK_LAUNCHER="$root/build/win/zelk_sim.exe" \
ZELK_FLASH="$root/build/win/zelk_flash.exe" \
ZELK_STANDIN="$root/build/win/qemu-system-cskyv2.exe" \
  build/native/tests/zelk_e2e_tests --gtest_brief=1 "$@"

step "Windows leg passed in $((SECONDS - started)) s"
