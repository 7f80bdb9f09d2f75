# Shared by the scripts: progress lines and installing missing packages.

step() { printf '\n=== %s\n' "$*"; }

# Installs the Debian packages among "$@" that are not installed yet.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Debian's wine64 package puts its loader outside PATH.
wine_loader() {
  if command -v wine64 >/dev/null; then command -v wine64; else echo /usr/lib/wine/wine64; fi
}

# Two bench runs in one tree would time each other and clear each other's
# files, so they take turns on a lock in the bench build folder $1, held
# until the shell exits.
bench_take_turn() {
  mkdir -p "$1"
  exec 9>"$1/run.lock"
  if ! flock -n 9; then
    step "waiting for the other bench run in this tree"
    flock 9
  fi
}
