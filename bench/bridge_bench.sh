#!/usr/bin/env bash
# belvor-bridge's own latency, from its CodeProc being called to a WebSocket
# client's receipt of the code: natively, and under Wine (32-bit; --win64 adds
# 64-bit). The bridge runs on paced_belvor, the library's stand-in whose
# drivers call the CodeProc at a set pace with the time of each call in the
# code; bridge_bench, a native client of /scans, times each receipt by the
# same wall clock. Two cases: "steady", one code every millisecond, and
# "burst", fifty codes back to back every 50 ms.
#
# Results: build/bench/bridge.jsonl (one line per run; bench/report.py reads
# the same lines from results.jsonl) and one summary line per run here.
# The machine's load goes beside each run; run it when the machine is quiet.
#
#   bench/bridge_bench.sh [--runs N] [--codes N] [--no-wine] [--win64]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=3 codes=3000 wine=1 win64=0
while (($#)); do
  case $1 in
  --runs) runs=${2:?} && shift ;;
  --codes) codes=${2:?} && shift ;;
  --no-wine) wine=0 ;;
  --win64) win64=1 ;;
  *) echo "usage: bench/bridge_bench.sh [--runs N] [--codes N] [--no-wine] [--win64]" >&2 && exit 2 ;;
  esac
  shift
done

build() { # preset target...
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target "$@" >/dev/null
}
build native belvor-bridge paced_belvor bridge_bench
presets=()
((wine)) && presets+=(windows)
((win64)) && presets+=(windows64)
for preset in "${presets[@]}"; do
  build "$preset" belvor-bridge paced_belvor
done

out=build/bench
mkdir -p $out
results=$out/bridge.jsonl
log=$out/bridge.log
: >$results
: >$log
# Not the bridge's default port, so that a bridge in use is left alone.
listen=127.0.0.1:29171
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# One run: the bridge started on paced_belvor, the client's codes timed, the bridge ended.
run() { # platform case every_us burst run command...
  local platform=$1 name=$2 every=$3 burst=$4 k=$5 rc=0
  shift 5
  BELVOR_PACED_EVERY_US=$every BELVOR_PACED_BURST=$burst "$@" --port 3 --listen $listen 2>>$log &
  local bridge=$!
  build/native/bin/bridge_bench --connect $listen --codes "$codes" --case "$name" --platform "$platform" \
    --run "$k" --out $results || rc=$?
  kill -TERM $bridge 2>/dev/null || true
  wait $bridge 2>/dev/null || true
  return $rc
}

cases() { # platform command...
  local platform=$1 k
  shift
  for ((k = 0; k < runs; k++)); do
    run "$platform" steady 1000 1 $k "$@"
    run "$platform" burst 50000 50 $k "$@"
  done
}

cases linux build/native/bin/belvor-bridge --library "$PWD/build/native/bin/libpaced_belvor.so"
for preset in "${presets[@]}"; do
  platform=wine
  [[ $preset == windows64 ]] && platform=wine64
  # The stand-in is found beside the program.
  cases $platform tools/wine-run.sh "$PWD/build/$preset/wine" "$PWD/build/$preset/bin/belvor-bridge.exe" \
    --library paced_belvor.dll
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
