#!/usr/bin/env bash
# Builds the release archives into dist/: the Windows .zip and the Linux
# .tar.gz, each with its .sha256. Each build starts from an empty folder and
# every file in the archives carries the commit's time, so two runs from one
# commit give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_packages cmake ninja-build g++ g++-mingw-w64-x86-64-posix libre2-dev dpkg-dev unicode-data python3-six

started=$SECONDS
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
    echo "not a git checkout: set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 2
  }
fi
export SOURCE_DATE_EPOCH

rm -rf dist
mkdir -p dist
# Builds one platform's archive (NAME, its archive's extension, then the
# build's own options) in build/release-NAME, from scratch.
build_archive() {
  local dir=build/release-$1 extension=$2
  shift 2
  step "release build: $dir"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && cpack >/dev/null)
  cp "$dir"/zelk_sim-*."$extension" "$dir"/zelk_sim-*."$extension".sha256 dist/
}
build_archive linux tar.gz
bash scripts/build-re2-mingw.sh
build_archive windows zip -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

step "dist/ after $((SECONDS - started)) s"
(cd dist && ls -l && sha256sum -c --quiet ./*.sha256)
