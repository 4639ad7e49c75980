#!/usr/bin/env bash
# Builds and runs every benchmark (bench/), natively and under Wine, and
# summarises them: build/bench/results.jsonl (every run), build/bench/report.md
# (medians and spread) and build/bench/latency.png. With --docs the plot is
# also copied to docs/benchmarks-latency.png. Takes about eight minutes.
#
#   BELVOR_BENCH_RUNS   repeated runs of each latency measurement (5)
#   BELVOR_BENCH_WINE=0 skips the Windows build under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

docs=0
[[ ${1:-} == --docs ]] && docs=1
runs=${BELVOR_BENCH_RUNS:-5}
wine=${BELVOR_BENCH_WINE:-1}

bash tools/install-deps.sh
# The comparison reader and the plot, both from Debian's packages.
missing=()
for p in python3-serial python3-matplotlib; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bench: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
python=/usr/bin/python3

cmake --preset native >/dev/null
cmake --build --preset native -j2 --target belvor line_bench share_bench micro_bench
if ((wine)); then
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 --target belvor wine_bench
fi

out=build/bench
mkdir -p $out
results=$out/results.jsonl
: >$results
bin=build/native/bin

{
  echo "nproc: $(nproc)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(grep -m1 'cpu MHz' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //') MHz$(grep -qw hypervisor /proc/cpuinfo && echo ', virtual machine')"
  echo "kernel: $(uname -sr)"
  echo "os: $(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "wine: $(wine --version 2>/dev/null || echo none)"
  echo "pyserial: $($python -c 'import serial; print(serial.__version__)')"
} >$out/machine.txt

echo "=== latency, native (library polling and Wake=Event, read() loop, pyserial on one stream), $runs runs"
for ((k = 0; k < runs; k++)); do
  $bin/line_bench latency --codes 300 --run $k --python $python --out $results
done

echo "=== the library's own share (DataReceived -> callback), $runs runs"
for ((k = 0; k < runs; k++)); do
  $bin/share_bench --codes 300 --run $k --out $results || echo "bench: codes lost (see the report)"
done

echo "=== throughput, native, 3 runs each"
for ((k = 0; k < 3; k++)); do
  for reader in library event read pyserial; do
    $bin/line_bench throughput --reader $reader --ports 1 --seconds 3 --run $k --python $python --out $results ||
      echo "bench: codes lost or out of order (see the report)"
  done
  for reader in library event read; do
    $bin/line_bench throughput --reader $reader --ports 10 --seconds 3 --run $k --out $results ||
      echo "bench: codes lost or out of order (see the report)"
  done
done

echo "=== idle drivers, native, 3 runs"
for ((k = 0; k < 3; k++)); do
  for wake in poll event; do
    $bin/line_bench idle --wake $wake --ports 10 --seconds 5 --run $k --out $results
  done
done

echo "=== micro-benchmarks"
$bin/micro_bench --benchmark_repetitions=5 --benchmark_min_time=0.5 \
  --benchmark_out=$out/micro.json --benchmark_out_format=json

if ((wine)); then
  prefix=$PWD/build/windows/wine
  runner=(tools/wine-run.sh "$prefix" build/windows/bin/wine_bench.exe)
  # Wine's own diagnostics go to the log; the results come on standard output.
  wine_log=$out/wine.log
  : >$wine_log
  echo "=== latency under Wine (ReadFile loop, then the library), $runs runs"
  for ((k = 0; k < runs; k++)); do
    "${runner[@]}" latency --codes 300 --run $k 2>>$wine_log | tee -a $out/wine.out | grep -v '^JSON' || true
    grep '^JSON' $out/wine.out | tail -1 | cut -c6- >>$results
    : >$out/wine.out
  done
  echo "=== throughput under Wine (ReadFile loop, reference reader, then the library; the record's bare calls), 3 runs"
  for ((k = 0; k < 3; k++)); do
    "${runner[@]}" throughput --seconds 3 --run $k 2>>$wine_log | tee $out/wine.out | grep -v '^JSON' || true
    grep '^JSON' $out/wine.out | cut -c6- >>$results
  done
  echo "=== one log record under Wine, 3 runs"
  for ((k = 0; k < 3; k++)); do
    "${runner[@]}" log --codes 3000 --run $k 2>>$wine_log | tee $out/wine.out | grep -v '^JSON' || true
    grep '^JSON' $out/wine.out | cut -c6- >>$results
  done

  echo "=== idle driver under Wine: the host process and wineserver, from /proc"
  # wineserver of this prefix: its working directory is named after the prefix's device and inode.
  server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix"))
  task_ns() { # CPU time of all threads of a process, in ns
    local sum=0 t
    for t in /proc/$1/task/*/schedstat; do
      [[ -r $t ]] && read -r ns _ <"$t" && sum=$((sum + ns))
    done
    echo $sum
  }
  find_server() {
    local p
    for p in $(pgrep -x wineserver); do
      [[ $(readlink /proc/$p/cwd 2>/dev/null) == */$server_dir ]] && echo $p && return
    done
  }
  "${runner[@]}" idle --seconds 10 2>>$wine_log | {
    host= server= json=
    declare -A begin
    while IFS= read -r line; do
      line=${line%$'\r'} # a Windows program's line ends
      word=${line%% *} rest=${line#* }
      case $word in
        PID) host=$rest ;;
        MARK)
          read -r phase edge <<<"$rest"
          [[ -z $server ]] && server=$(find_server)
          now=$(date +%s%N)
          cpu=$(($(task_ns "$host") + $(task_ns "${server:-0}")))
          if [[ $edge == begin ]]; then
            begin[$phase]="$now $cpu"
          else
            read -r t0 c0 <<<"${begin[$phase]}"
            share=$(awk -v c=$((cpu - c0)) -v t=$((now - t0)) 'BEGIN { printf "%.6f", c / t }')
            json+=",\"proc_cpu_$phase\":$share"
            echo "wine idle, phase \"$phase\": host process + wineserver $(awk -v s=$share 'BEGIN { printf "%.3f", 100 * s }') % of one core"
          fi
          ;;
        JSON) echo "${rest%\}}$json}" >>$results ;;
        *) echo "$line" ;;
      esac
    done
  }
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
fi

echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >>$out/machine.txt
$python bench/report.py $out
if ((docs)); then
  cp $out/latency.png docs/benchmarks-latency.png
  echo "copied the plot to docs/benchmarks-latency.png"
fi
