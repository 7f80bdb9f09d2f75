#!/usr/bin/env bash
# Builds this firmware project against the zelk_sim package in PREFIX and
# runs its tests with ctest -j4 --output-junit, in the STYLE given (see
# CMakeLists.txt): four pass and two fail (six and three by the function), and CTest's JUnit report and the
# launcher's own agree on which. The simulator is the real QEMU through the
# netduino2 wrapper; where qemu-system-arm is missing, the stand-in STANDIN,
# which runs no firmware, and the run only checks what CTest reports.
#
#   run.sh PREFIX STYLE WORK [STANDIN]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1 style=$2 work=$3 standin=${4:-}

fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/sim" "$work/tmp"
if command -v qemu-system-arm >/dev/null; then
  # The wrapper as the package ships it.
  cp "$prefix/share/zelk_sim/netduino2/qemu-system-cskyv2" "$work/sim/"
  real=1
else
  echo "qemu-system-arm is missing: the project runs against the stand-in, which runs no firmware"
  cp "$standin" "$work/sim/"
  real=0
fi
cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/arm-none-eabi.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DZELK_TEST_STYLE="$style" >/dev/null
cmake --build "$work/build" >/dev/null
summary=$(cd "$work/build" && PATH="$work/sim:$PATH" TMPDIR="$work/tmp" \
  ctest -j4 --output-junit ctest.xml 2>&1 | tee "$work/ctest.log" | grep 'tests passed' || true)
echo "$style: $summary"
[ "$real" = 1 ] || exit 0
names=(ends_well exits_0 prints answers exits_3 hangs)
want_summary="67% tests passed, 2 tests failed out of 6"
if [ "$style" = function ]; then
  names+=(fails_by_text sends_status "expects a;b" unit_cases covered)
  # The run of the listed cases, and its four cases: two fail.
  want_summary="63% tests passed, 6 tests failed out of 16"
fi
[ "$summary" = "$want_summary" ] || fail "$style: $summary"
# Each test's verdict, by CTest and by the launcher's report, whose
# testcase the function names after the test.
for name in "${names[@]}"; do
  ctest_failed=0 launcher_failed=0
  grep -q "<testcase name=\"$name\"[^>]*status=\"fail\"" "$work/build/ctest.xml" && ctest_failed=1
  report="$work/build/zelk-reports/$name.xml"
  grep -q '<failure' "$report" && launcher_failed=1
  [ "$ctest_failed" = "$launcher_failed" ] || fail "$style: $name: CTest and the launcher disagree"
  if [ "$name" = unit_cases ]; then
    grep -q '<testcase name="[^"]*"[^>]*classname=' "$report" || fail "$style: $name: no case in the report"
  elif [ "$style" = function ]; then
    grep -q "<testcase name=\"$name\"" "$report" || fail "$style: $name: the report names another test"
  fi
  case $name in exits_3|hangs|fails_by_text|unit_cases) want=1 ;; *) want=0 ;; esac
  [ "$ctest_failed" = "$want" ] || fail "$style: $name: failed=$ctest_failed"
done
if [ "$style" = function ]; then
  # Each listed case is a CTest test judged from the one run's report; the
  # run itself fails only where no case shows why.
  for want in 'unit_listed" [^>]*status="run"' 'unit_listed/Checks.flash_constant" [^>]*status="run"' \
      'unit_listed/Checks.data_words" [^>]*status="run"' 'unit_listed/Checks.checksum" [^>]*status="fail"' \
      'unit_listed/Checks.never_run" [^>]*status="fail"'; do
    grep -q "<testcase name=\"$want" "$work/build/ctest.xml" || fail "$style: no testcase $want"
  done
  # One case asked for: the firmware runs first, once, and the case says
  # where it failed.
  one=$(cd "$work/build" && PATH="$work/sim:$PATH" TMPDIR="$work/tmp" \
    ctest -R 'unit_listed/Checks.checksum' --output-on-failure 2>&1 || true)
  grep -q 'tests passed, 1 tests failed out of 2' <<<"$one" || fail "$style: -R: $one"
  grep -q 'zelk_sim: failed: Checks.checksum: test_checks.c:18: Expected 5 Was 4' <<<"$one" ||
    fail "$style: -R: no message: $one"
  info="$work/build/zelk-reports/covered.info"
  grep -q '^FNDA:0,never_called$' "$info" && grep -q '^FNDA:1,called$' "$info" ||
    fail "$style: covered: $(cat "$info" 2>&1)"
  [ -f "$work/build/zelk-reports/covered.cobertura.xml" ] || fail "$style: covered: no Cobertura report"
fi
# Every test had a chip of its own, and none is left.
[ -z "$(ls -A "$work/tmp")" ] || fail "$style: left behind: $(ls "$work/tmp")"
