#!/usr/bin/env bash
# Runs wait_race.c under Wine beside busy loops, RUNS times for SECONDS each,
# with a scanner typing a byte every 100 ms into the cable's other end, and
# counts the runs whose wait lost its completion and stalled.
#   run.sh [RUNS=100] [SECONDS=6] [LOOPS=2] [--rearm]
# Needs i686-w64-mingw32-gcc, wine and socat (tools/install-deps.sh).
set -uo pipefail
cd "$(dirname "$0")/../../.."
runs=${1:-100} seconds=${2:-6} loops=${3:-2} mode=${4:-}
out=build/wine-wait-race
mkdir -p "$out"
i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$out/wait_race.exe" docs/evidence/wine-wait-race/wait_race.c || exit 2
prefix=$out/wine
source tools/busy-loops.sh
busy_loops "$loops"
stalled=0
for run in $(seq "$runs"); do
  # COM7's other end is COM8 (tools/wine-run.sh); a byte every 100 ms once it is there.
  python3 tools/scanner-sim.py --line "$prefix/dosdevices/com8" --code 1 --interval 0.1 --delay 0 >/dev/null 2>&1 &
  typist=$!
  line=$(tools/wine-run.sh "$prefix" "$out/wait_race.exe" 7 "$seconds" $mode 2>&1 | tr -d '\r' | tail -1)
  kill "$typist" 2>/dev/null
  wait "$typist" 2>/dev/null
  case "$line" in *stalled*) stalled=$((stalled + 1)) && echo "run $run: $line" ;; esac
done
echo "wait_race${mode:+ $mode}: $stalled of $runs runs stalled ($loops busy loops, $(wine --version))"
((stalled == 0))
