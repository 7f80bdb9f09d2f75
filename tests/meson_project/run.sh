#!/usr/bin/env bash
# Builds this Meson project with the cross file the README gives (taken
# from the README itself) and runs `meson test` with the launcher LAUNCHER
# on PATH and the real QEMU under the simulator's name through the
# netduino2 wrapper: one test ok, one FAIL, one SKIP, each on a fresh chip
# that is gone afterwards. Exits 77 (skipped) where meson, the ARM
# toolchain or qemu-system-arm is missing.
#
#   run.sh LAUNCHER WORK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
launcher=$1 work=$2

fail() { echo "FAILED: $*" >&2; exit 1; }

for tool in meson ninja arm-none-eabi-gcc qemu-system-arm; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work/bin" "$work/sim" "$work/tmp"
cp "$launcher" "$work/bin/"
cp "$here/../../standin/netduino2/qemu-system-cskyv2" "$work/sim/"
# The README's cross file, word for word: the ini block after "Meson".
awk '/^Meson, in the cross file/ { found = 1 } found && /^```$/ && inside { exit }
     inside { print } found && /^```ini$/ { inside = 1 }' "$here/../../README.md" >"$work/cross.ini"
grep -q '^\[host_machine\]' "$work/cross.ini" || fail "no cross file in the README"
export PATH="$work/bin:$work/sim:$PATH" TMPDIR="$work/tmp"
meson setup --cross-file "$work/cross.ini" "$work/build" "$here" >"$work/setup.log" 2>&1 ||
  { cat "$work/setup.log"; fail "meson setup"; }
status=0
meson test -C "$work/build" --num-processes 3 >"$work/test.log" 2>&1 || status=$?
cat "$work/test.log"
[ "$status" != 0 ] || fail "meson test passed with a failing test"
for want in ' passes +OK ' ' fails +FAIL .*exit status 3$' ' skipped +SKIP ' \
    '^Ok: +1 *$' '^Fail: +1 *$' '^Skipped: +1 *$'; do
  grep -Eq "$want" "$work/test.log" || fail "no line matches '$want'"
done
# Every test had a chip of its own, and none is left.
[ -z "$(ls -A "$work/tmp")" ] || fail "left behind: $(ls "$work/tmp")"
echo "meson test: ok, FAIL and SKIP as meant"
