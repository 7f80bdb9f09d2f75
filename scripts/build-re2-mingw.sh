#!/usr/bin/env bash
# RE2 for the .exe: Debian's source package of the same version as the
# installed libre2-dev, checked against the pinned SHA-256 sums, built as a
# static library with mingw-w64 and installed into build/re2-mingw (or the
# folder given as $1). Does nothing when that build is in place already.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The source package the pinned sums belong to, and those sums.
source_version=20220601+dfsg-1
declare -A pinned_sha256=(
  [re2_20220601+dfsg.orig.tar.xz]=3bc61251da3b0b97be40a8a127818c517c62516e4eda11fc901d29496663df54
  [re2_20220601+dfsg-1.debian.tar.xz]=6e93860fc6d5a7bc94f0cb235f107545a332e6cd37c3a4060982b9caa47a2570
)

root=$PWD
prefix=$(realpath -m "${1:-build/re2-mingw}")
stamp=$prefix/.built-from
if [ -f "$prefix/lib/libre2.a" ] && [ "$(cat "$stamp" 2>/dev/null)" = "re2 $source_version" ]; then
  exit 0
fi

# dpkg-dev unpacks the source package; unicode-data and python3-six remake
# the tables that Debian's archive leaves out.
need_packages libre2-dev dpkg-dev unicode-data python3-six perl python3 cmake ninja-build \
  g++-mingw-w64-x86-64-posix

installed=$(dpkg-query -W -f='${source:Version}' libre2-dev)
if [ "$installed" != "$source_version" ]; then
  echo "libre2-dev comes from re2 $installed, the pinned sums from $source_version:" \
    "pin that version's sums in $0" >&2
  exit 1
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Source packages from the Debian archives the machine has already: the
# deb lines and stanzas of those sources, as deb-src, in a file of our own.
enable_source_packages() {
  local list=/etc/apt/sources.list.d/zelk-deb-src.sources
  [ -f "$list" ] && return 0
  step "enabling Debian source packages in $list"
  local stanzas
  stanzas=$(
    {
      for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # One stanza a paragraph; only Debian's own archives.
        awk -v RS= -v ORS='\n\n' '/debian-archive-keyring|URIs:[^\n]*\/debian(-security)?\/?(\n|$)/' "$f"
      done
      for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # One-line form, turned into a stanza.
        awk '$1 == "deb" && $0 ~ /\/debian(-security)?\/? / {
               opts = ""; i = 2
               if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
               signed = ""
               if (match(opts, /signed-by=[^] ]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
               comps = ""; for (j = i + 2; j <= NF; j++) comps = comps " " $j
               printf "Types: deb\nURIs: %s\nSuites: %s\nComponents:%s\n", $i, $(i + 1), comps
               if (signed != "") printf "Signed-By: %s\n", signed
               printf "\n"
             }' "$f"
      done
    } | sed -E 's/^Types:.*/Types: deb-src/'
  )
  if [ -z "$stanzas" ]; then
    echo "no Debian archive among the apt sources to take source packages from" >&2
    return 1
  fi
  printf '%s\n' "$stanzas" | $sudo tee "$list.new" >/dev/null
  $sudo mv "$list.new" "$list"
  $sudo apt-get update -qq
}

src_root=$root/build/re2-source
step "re2 $source_version from Debian's source package into $src_root"
if ! apt-cache showsrc "re2=$source_version" 2>/dev/null | grep -q '^Package: re2'; then
  enable_source_packages
fi
rm -rf "$src_root"
mkdir -p "$src_root"
(
  cd "$src_root"
  # Fetched and checked, then unpacked with Debian's patches applied.
  apt-get source --download-only -qq "re2=$source_version" >/dev/null
  for file in "${!pinned_sha256[@]}"; do
    echo "${pinned_sha256[$file]}  $file"
  done | sha256sum -c --quiet -
  dpkg-source -x --no-check "re2_$source_version.dsc" re2 >/dev/null
)
src=$src_root/re2

step "the tables Debian's archive leaves out, made with RE2's own scripts"
(
  cd "$src/re2"
  perl make_perl_groups.pl >perl_groups.cc
  python3 make_unicode_casefold.py >unicode_casefold.cc
  python3 make_unicode_groups.py >unicode_groups.cc
)

step "RE2 for mingw-w64 into $prefix"
rm -rf "$prefix" "$src_root/build"
# The sources' own folder is not written into the library: the .exe files
# that link it are the same bytes wherever this tree stands.
cmake -S "$src" -B "$src_root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$src=re2" \
  -DBUILD_SHARED_LIBS=OFF -DRE2_BUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$src_root/build" -j2
cmake --install "$src_root/build" >/dev/null
echo "re2 $source_version" >"$stamp"
