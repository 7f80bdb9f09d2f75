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

# Takes the lock file $1 (on descriptor 9, held until the shell exits),
# waiting while another run holds it; $2 names that run.
take_turn() {
  mkdir -p "$(dirname "$1")"
  exec 9>"$1"
  if ! flock -n 9; then
    step "waiting for $2"
    flock 9
  fi
}

# Two bench runs in one tree would time each other and clear each other's
# files, so they take turns on a lock in the bench build folder $1.
bench_take_turn() {
  take_turn "$1/run.lock" "the other bench run in this tree"
}

# Fails when the .exe $1 needs a mingw-w64 runtime DLL: it must run alone.
check_no_runtime_dll() {
  if x86_64-w64-mingw32-objdump -p "$1" | grep -i -E 'DLL Name: (libstdc\+\+|libgcc|libwinpthread)'; then
    echo "$1 needs a mingw-w64 runtime DLL" >&2
    return 1
  fi
}

# Two runs of the .exe files in one tree would share the build and the Wine
# prefix, and the end of one would stop the other's Wine processes.
windows_take_turn() {
  take_turn build/windows-leg.lock "the other Windows run in this tree"
}

# Wine for the .exe files, from the project folder: a prefix of our own in
# build/wineprefix, so that no user's ~/.wine is touched, and one Wine
# server for the whole run rather than one start-up per process, stopped
# when the shell exits. Sets $wine (the loader) and $wine_temp: the
# profile's AppData/Local/Temp, where the launcher puts its raw images and
# which Wine's profile lacks.
wine_start() {
  wine=$(wine_loader)
  local server
  server=$(command -v wineserver || true)
  for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
    if [ -z "$server" ] && [ -x "$candidate" ]; then server=$candidate; fi
  done
  if [ -z "$server" ]; then echo "no wineserver found" >&2; return 1; fi
  # Wine's .NET and HTML engines are not needed and would be offered for
  # download.
  export WINEPREFIX=$PWD/build/wineprefix
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset WINEPATH
  mkdir -p "$WINEPREFIX"
  if [ ! -d "$WINEPREFIX/drive_c" ]; then
    step "creating the Wine prefix $WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1
    # A new prefix goes on starting its services for a while after
    # wineboot returns, and processes started meanwhile now and then fail
    # to start or end early: the tests wait until all of it has settled
    # and the server has gone.
    "$server" -w
  fi
  # Status 2: a server of this prefix is running already, which serves too.
  "$server" -p || [ $? -eq 2 ]
  trap "'$server' -k 2>/dev/null || true" EXIT
  local profile
  profile=$("$wine" cmd /c 'echo %USERPROFILE%' | tr -d '\r\n')
  wine_temp=$("$wine" winepath -u "$profile" | tr -d '\n')/AppData/Local/Temp
  case "$wine_temp" in
    "$WINEPREFIX"/*) ;;
    *) echo "the prefix's profile ($profile) lies outside $WINEPREFIX" >&2; return 1 ;;
  esac
  mkdir -p "$wine_temp"
}
