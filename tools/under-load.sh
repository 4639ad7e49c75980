#!/usr/bin/env bash
# Runs one test of a preset many times with busy loops beside it and counts the
# runs that fail: how often a fault that only load brings out shows itself.
#   under-load.sh PRESET TEST [RUNS=100] [LOOPS=2]
# e.g. under-load.sh windows example_c_wine. Each failing run's output is kept
# in build/under-load/PRESET-TEST-N.log.
set -uo pipefail
cd "$(dirname "$0")/.."
(($# >= 2)) || { echo "usage: under-load.sh PRESET TEST [RUNS] [LOOPS]" >&2; exit 2; }
preset=$1 test=$2 runs=${3:-100} loops=${4:-2}
ctest --preset "$preset" -N -R "^$test\$" | grep -q 'Total Tests: 1$' ||
  { echo "under-load: $preset has no test $test (build the preset first)" >&2; exit 2; }
out=build/under-load
mkdir -p "$out"
source tools/busy-loops.sh
busy_loops "$loops"
failed=()
for run in $(seq "$runs"); do
  log=$out/$preset-$test-$run.log
  if ctest --preset "$preset" -R "^$test\$" >"$log" 2>&1; then
    rm -f "$log"
  else
    failed+=("$run")
  fi
done
echo "under-load: $test ($preset), $loops busy loops: ${#failed[@]} of $runs runs failed${failed:+: runs ${failed[*]}}"
((${#failed[@]} == 0))
