#!/usr/bin/env bash
# Checks that the includes under src/ point one way, downwards, and never
# round a loop. Each folder is a module with a rank; a file may include its
# own module and modules of lower rank only:
#
#   4  zelk_sim.cpp, zelk_flash.cpp   the programs
#   3  launcher/, flash_tool/         what each program does with the rest
#   2  storage/, loading/             the work on files
#      run_control/                   judging a run from its output
#      coverage/                      what code a run reached
#   1  qemu/                          the simulator's arguments
#   0  chip/, platform/               facts of the chip; the operating system
#      formats/                       the layouts of the files read and written
set -euo pipefail
cd "$(dirname "$0")/../src"

rank() {
  case $1 in
    chip | platform | formats) echo 0 ;;
    qemu) echo 1 ;;
    storage | loading | run_control | coverage) echo 2 ;;
    launcher | flash_tool) echo 3 ;;
    .) echo 4 ;;
    *) echo "unknown module: $1" >&2; exit 2 ;;
  esac
}

failed=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
while IFS=: read -r file included; do
  from=$(dirname "$file")
  to=$(dirname "$included")
  if [ "$from" != "$to" ] && [ "$(rank "$to")" -ge "$(rank "$from")" ]; then
    echo "$file includes $included: $to/ is not below $from/" >&2
    failed=1
  fi
  echo "$file $included" >>"$edges"
done < <(grep -rHo --include='*.h' --include='*.cpp' '^#include "[^"]*"' . |
  sed -e 's|^\./||' -e 's|:#include "\(.*\)"$|:\1|')

if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
  cat "$edges.err" >&2
  failed=1
fi
rm -f "$edges.err"
[ "$failed" -eq 0 ] && echo "includes point downwards, without loops"
exit "$failed"
