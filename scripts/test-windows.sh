#!/usr/bin/env bash
# The Windows leg: cross-builds the launcher, the stand-in and the tests as
# static .exe files and runs them under Wine — the unit tests as they are,
# then the same end-to-end suite as the native leg, pointed at the .exe
# files. Runs alone too (bash scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ libgtest-dev googletest wine64 g++-mingw-w64-x86-64-posix libxml2-utils

started=$SECONDS
root=$PWD

# Two runs in one tree would share the build and the Wine prefix, and the
# end of one would kill the other's Wine processes; they take turns.
mkdir -p build
exec 9>build/windows-leg.lock
if ! flock -n 9; then
  step "waiting for the other Windows leg running in this tree"
  flock 9
fi

step "Windows cross build"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win --target zelk_sim zelk_flash qemu-system-cskyv2 zelk_unit_tests zelk_wine_runner
# Static: no mingw-w64 runtime DLL may be needed beside the .exe.
for exe in build/win/zelk_sim.exe build/win/zelk_flash.exe build/win/qemu-system-cskyv2.exe \
    build/win/tests/zelk_unit_tests.exe; do
  if x86_64-w64-mingw32-objdump -p "$exe" | grep -i -E 'DLL Name: (libstdc\+\+|libgcc|libwinpthread)'; then
    echo "$exe needs a mingw-w64 runtime DLL" >&2
    exit 1
  fi
done

# The end-to-end tests are a native program that starts the .exe files.
if [ ! -f build/native/build.ninja ]; then
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/native --target zelk_e2e_tests

wine=$(wine_loader)
server=$(command -v wineserver || true)
for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  if [ -z "$server" ] && [ -x "$candidate" ]; then server=$candidate; fi
done
if [ -z "$server" ]; then echo "no wineserver found" >&2; exit 1; fi

# A prefix of our own inside the build tree, so that no user's ~/.wine is
# touched; Wine's .NET and HTML engines are not needed and would be offered
# for download.
export WINEPREFIX=$root/build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH

mkdir -p "$WINEPREFIX"
# One Wine server for the whole run rather than one start-up per process.
# Status 2: a server of this prefix is running already, which serves too.
"$server" -p || [ $? -eq 2 ]
trap '"$server" -k 2>/dev/null || true' EXIT
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  step "creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
fi
# Left behind by end-to-end runs that were cut short: drive letters whose
# folder is gone, and the launcher copies in drive C.
for link in "$WINEPREFIX"/dosdevices/?:; do
  if [ -L "$link" ] && [ ! -e "$link" ]; then rm -f "$link"; fi
done
rm -rf "$WINEPREFIX"/drive_c/zelk_e2e_*
# A Windows profile has AppData\Local\Temp, where the launcher puts its raw
# images; Wine's has not. The unit tests convert there, and the images they
# leave are named after process ids that Wine hands out again, so each run
# starts with the folder empty.
profile=$("$wine" cmd /c 'echo %USERPROFILE%' | tr -d '\r\n')
profile_temp=$("$wine" winepath -u "$profile" | tr -d '\n')/AppData/Local/Temp
case "$profile_temp" in
  "$WINEPREFIX"/*) ;;
  *) echo "the prefix's profile ($profile) lies outside $WINEPREFIX" >&2; exit 1 ;;
esac
rm -rf "$profile_temp"
mkdir -p "$profile_temp"

step "unit tests under Wine"
"$wine" build/win/tests/zelk_unit_tests.exe --gtest_brief=1

step "end-to-end tests against the .exe under Wine"
ZELK_WINE="$wine" \
ZELK_WINE_RUNNER="$root/build/win/tests/zelk_wine_runner.exe" \
ZELK_LAUNCHER="$root/build/win/zelk_sim.exe" \
ZELK_FLASH="$root/build/win/zelk_flash.exe" \
ZELK_STANDIN="$root/build/win/qemu-system-cskyv2.exe" \
  build/native/tests/zelk_e2e_tests --gtest_brief=1

step "Windows leg passed in $((SECONDS - started)) s"
