#!/usr/bin/env bash
# `bazel test --jobs 2` of three firmware tests (one passes, one has a
# failing case, one crashes in a case) through the zelk.bzl of the
# installation PREFIX, on real QEMU through the wrapper it ships: each
# test.xml holds one testcase per listed case, and the console is among
# the outputs. Bazel works offline once the three repositories it would
# download are stand-ins whose rules forward to its own. Exits 77
# (skipped) where bazel or qemu-system-arm is missing.
#
#   run.sh PREFIX WORK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$1" && pwd) work=$2

fail() { echo "FAILED: $*" >&2; exit 1; }

for tool in bazel qemu-system-arm unzip; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
if [ -d "$work" ]; then chmod -R u+w "$work" && rm -rf "$work"; fi
mkdir -p "$work/ws/tools" "$work/sim" "$work/stubs"
work=$(cd "$work" && pwd)
cp "$prefix/share/zelk_sim/netduino2/qemu-system-cskyv2" "$work/sim/"

# A repository REPO whose PACKAGE/defs.bzl has the RULES, each Bazel's own.
stub() {
  local dir=$work/stubs/$1/$2 rule
  mkdir -p "$dir"
  echo "workspace(name = \"$1\")" >"$work/stubs/$1/WORKSPACE"
  echo 'package(default_visibility = ["//visibility:public"])' | tee "$work/stubs/$1/BUILD" >"$dir/BUILD"
  for rule in "${@:3}"; do printf 'def %s(**kw):\n    native.%s(**kw)\n' "$rule" "$rule"; done >"$dir/defs.bzl"
}
stub rules_cc cc cc_binary cc_library cc_proto_library cc_test cc_toolchain cc_toolchain_suite objc_library
echo 'alias(name = "toolchain_type", actual = "@bazel_tools//tools/cpp:toolchain_type")' \
  >>"$work/stubs/rules_cc/cc/BUILD"
stub rules_java java java_binary java_import java_library java_proto_library java_runtime java_toolchain
stub remote_coverage_tools tools
printf 'filegroup(name = "%s")\n' coverage_report_generator lcov_merger >>"$work/stubs/remote_coverage_tools/BUILD"

ws=$work/ws
cp "$prefix/share/zelk_sim/bazel/zelk.bzl" "$ws/tools/"
: >"$ws/tools/BUILD"
cp "$here/../fixtures/elf/qemu_check/qemu_check.elf" "$ws/check.elf"
echo 'workspace(name = "firmware")' >"$ws/WORKSPACE"
printf 'Checks.flash_constant\nChecks.data_words\nChecks.checksum\n' >"$ws/cases.txt"
{
  echo 'load("//tools:zelk.bzl", "zelk_firmware_test")'
  for t in ok:casesok fails:casesfail crashes:casescrash; do
    cat <<EOT

zelk_firmware_test(
    name = "${t%%:*}",
    elf = "check.elf",
    cases = "unity",
    cases_list = "cases.txt",
    status = True,
    timeout = 30,
    words = ["-semihosting-config", "enable=on,target=native,arg=${t#*:}"],
)
EOT
  done
} >"$ws/BUILD"

status=0
(cd "$ws" && bazel --output_user_root="$work/root" --batch test --jobs 2 //:all \
  --override_repository=rules_cc="$work/stubs/rules_cc" \
  --override_repository=rules_java="$work/stubs/rules_java" \
  --override_repository=remote_coverage_tools="$work/stubs/remote_coverage_tools" \
  --test_env=PATH="$prefix:$work/sim:$PATH" >"$work/bazel.log" 2>&1) || status=$?
grep -E '^//:' "$work/bazel.log" || true
# 3: the build went well and some tests failed.
[ "$status" = 3 ] || { tail -30 "$work/bazel.log"; fail "bazel test ended with $status"; }
for want in '^//:ok +PASSED' '^//:fails +FAILED' '^//:crashes +FAILED'; do
  grep -Eq "$want" "$work/bazel.log" || fail "no line matches '$want'"
done

# Each firmware case is a testcase in Bazel's test.xml, failed where it did.
cases() {
  tr -d '\n' <"$ws/bazel-testlogs/$1/test.xml" |
    grep -o '<testcase name="[^"]*"[^>]*>\( *<failure message="[^"]*"\)\?' |
    sed -E 's/<testcase name="([^"]*)".*<failure message="([^"]*)"/\1: \2/; s/<testcase name="([^"]*)".*/\1/' |
    tr '\n' ';'
}
[ "$(cases ok)" = "flash_constant;data_words;checksum;" ] || fail "ok: $(cases ok)"
[ "$(cases fails)" = "flash_constant;data_words;checksum: test_checks.c:18: Expected 5 Was 4;" ] ||
  fail "fails: $(cases fails)"
case "$(cases crashes)" in
  "flash_constant;data_words;Checks.checksum: the simulator ended with status 1 after "*) ;;
  *) fail "crashes: $(cases crashes)" ;;
esac
# The console of each run, kept by Bazel with the test's outputs.
for t in ok fails crashes; do
  unzip -p "$ws/bazel-testlogs/$t/test.outputs/outputs.zip" console.log | grep -q 'TEST(Checks, data_words) PASS' ||
    fail "$t: no console.log among the outputs"
done
chmod -R u+w "$work/root" && rm -rf "$work/root"
echo "bazel test: one testcase per firmware case, through zelk.bzl"
