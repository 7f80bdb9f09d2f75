#!/usr/bin/env bash
# Builds and runs every test: the native build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, a bounded fuzzing run
# (ZELK_FUZZ_SECONDS per target, default 40), and the Windows build under
# Wine. Installs what it needs when missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest libre2-dev \
  dpkg-dev unicode-data python3-six \
  wine64 g++-mingw-w64-x86-64-posix binutils-arm-none-eabi libxml2-utils strace \
  libcmocka-dev libcpputest-dev
# A real QEMU runs the launcher's line in the end-to-end tests, gdb-multiarch
# attaches to it, a Meson firmware project cross-built with newlib's
# toolchain runs its tests on it, and so do Bazel's; each test says it is
# skipped where these could not be installed.
need_packages qemu-system-arm gdb-multiarch meson gcc-arm-none-eabi libnewlib-arm-none-eabi \
  bazel-bootstrap unzip ||
  echo "qemu-system-arm, gdb-multiarch, meson or bazel could not be installed: their tests are skipped"

step "native build and tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native
ctest --test-dir build/native -j2 --output-on-failure

step "sanitizer build (ASan + UBSan) and tests"
CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON >/dev/null
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j2 --output-on-failure

bash scripts/fuzz.sh "${ZELK_FUZZ_SECONDS:-40}"

bash scripts/test-windows.sh

bash scripts/test-release.sh

step "all tests passed"
