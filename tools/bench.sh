#!/usr/bin/env bash
# Builds and runs every benchmark (bench/), natively and under Wine, and
# summarises them: build/bench/results.jsonl (every run), build/bench/report.md
# (medians and spread) and build/bench/latency.png. With --docs the plot is
# also copied to docs/benchmarks-latency.png. Takes about eight minutes.
#
# With --vs REVISION the same runs are made of an older revision too, built
# from its own sources in build/bench-vs/src; the two sides take turns run by
# run, and the report sets their figures side by side. Takes twice as long.
#
# With --idle only the idle costs are measured (natively and under Wine, each
# beside the reference poller of the driver's design), in about ten minutes.
#
#   BELVOR_BENCH_RUNS   repeated runs of each latency measurement (5)
#   BELVOR_BENCH_WINE=0 skips the Windows build under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

docs=0 vs= idle_only=0
while (($#)); do
  case $1 in
  --docs) docs=1 ;;
  --vs) vs=${2:?--vs takes a revision} && shift ;;
  --idle) idle_only=1 ;;
  *) echo "usage: tools/bench.sh [--docs | --vs REVISION] [--idle]" >&2 && exit 2 ;;
  esac
  shift
done
if ((docs)) && { [[ -n $vs ]] || ((idle_only)); }; then
  echo "bench: --docs takes the figures of a whole run without --vs" >&2
  exit 2
fi
runs=${BELVOR_BENCH_RUNS:-5}
wine=${BELVOR_BENCH_WINE:-1}

bash tools/install-deps.sh
# The comparison reader and the plot, both from Debian's packages (the idle
# costs need neither).
missing=()
((idle_only)) || for p in python3-serial python3-matplotlib; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bench: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
python=/usr/bin/python3

# The sides: this tree ("new") and, with --vs, the older revision ("old").
sides=(new)
declare -A root=([new]=$PWD)
if [[ -n $vs ]]; then
  rev=$(git rev-parse --verify "$vs^{commit}")
  root[old]=$PWD/build/bench-vs/src
  sides+=(old)
  # Unpacked afresh only for another revision, so that its build is kept.
  if [[ $(cat "${root[old]}/.revision" 2>/dev/null) != "$rev" ]]; then
    rm -rf "${root[old]}" && mkdir -p "${root[old]}"
    git archive "$rev" | tar -x -C "${root[old]}"
    echo "$rev" >"${root[old]}/.revision"
  fi
fi

# Builds a side's bench programs with its own presets; the older revision
# builds those its own bench/ defines.
build_side() { # side preset target...
  local dir=${root[$1]} preset=$2 t
  shift 2
  local targets=(belvor)
  for t in "$@"; do
    grep -q "add_executable($t " "$dir/bench/CMakeLists.txt" && targets+=("$t")
  done
  (cd "$dir" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target "${targets[@]}")
}
for side in "${sides[@]}"; do
  if ((idle_only)); then
    build_side $side native line_bench
  else
    build_side $side native line_bench share_bench micro_bench
  fi
  ((wine)) && build_side $side windows wine_bench
done

out=build/bench
mkdir -p $out
results=$out/results.jsonl
: >$results
rm -f $out/micro-vs.json
scratch=$out/run.jsonl

{
  echo "nproc: $(nproc)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(grep -m1 'cpu MHz' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //') MHz$(grep -qw hypervisor /proc/cpuinfo && echo ', virtual machine')"
  echo "kernel: $(uname -sr)"
  echo "os: $(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "wine: $(wine --version 2>/dev/null || echo none)"
  ((idle_only)) || echo "pyserial: $($python -c 'import serial; print(serial.__version__)')"
  if [[ -n $vs ]]; then
    echo "new: $(git log -1 --format='%h %s')$(git diff --quiet HEAD || echo ', with changes not committed')"
    echo "old: $(git log -1 --format='%h %s' "$rev")"
  fi
} >$out/machine.txt

# A result line, with its side's name when there are two.
tag() {
  if [[ -n $vs ]]; then sed "s/^{/{\"side\":\"$1\",/"; else cat; fi
}
# Runs a side's native program with --out; its result lines go to results.
native() { # side program argument...
  local side=$1 program=$2 rc=0
  shift 2
  [[ -n $vs ]] && echo "--- $side"
  [[ -x ${root[$side]}/build/native/bin/$program ]] || { echo "bench: the $side side has no $program" && return; }
  : >$scratch
  "${root[$side]}/build/native/bin/$program" "$@" --out $scratch || rc=$?
  tag $side <$scratch >>$results
  return $rc
}
# Calls a function for each side, the order turned every other run so that
# the machine's drift over a pair of runs falls on both sides alike.
each_side() { # run function argument...
  local k=$1 f=$2 order=("${sides[@]}")
  shift 2
  ((k % 2)) && [[ -n $vs ]] && order=(old new)
  for side in "${order[@]}"; do $f $side "$@"; done
}

# A process's CPU time in ns, all its threads, ended ones too (Wine starts and
# ends threads of its own), from its CPU-time clock; 0 for no process.
proc_cpu_ns() { # pid...
  $python -c 'import sys, time
print(sum(time.clock_gettime_ns(((~int(p)) << 3) | 2) for p in sys.argv[1:] if p not in ("", "0")))' "$@"
}

if ((!idle_only)); then
echo "=== latency, native (library polling and Wake=Event, read() loop, pyserial on one stream), $runs runs"
latency() { native $1 line_bench latency --codes 300 --run $2 --python $python; }
for ((k = 0; k < runs; k++)); do
  each_side $k latency $k
done

echo "=== the library's own share (DataReceived -> callback), $runs runs"
share() { native $1 share_bench --codes 300 --run $2 || echo "bench: codes lost (see the report)"; }
for ((k = 0; k < runs; k++)); do
  each_side $k share $k
done

echo "=== throughput, native, 3 runs each"
throughput() { # side run reader ports
  local python_option=()
  (($4 == 1)) && python_option=(--python "$python")
  native $1 line_bench throughput --reader $3 --ports $4 --seconds 3 --run $2 "${python_option[@]}" ||
    echo "bench: codes lost or out of order (see the report)"
}
for ((k = 0; k < 3; k++)); do
  for reader in library event read pyserial; do
    each_side $k throughput $k $reader 1
  done
  for reader in library event read; do
    each_side $k throughput $k $reader 10
  done
done

fi

echo "=== idle drivers, native, beside the reference poller, 3 runs"
idle() { native $1 line_bench idle --wake $3 --ports 10 --seconds 5 --run $2; }
for ((k = 0; k < 3; k++)); do
  for wake in poll event; do
    each_side $k idle $k $wake
  done
done

if ((!idle_only)); then
echo "=== micro-benchmarks"
declare -A micro_out=([new]=micro.json [old]=micro-vs.json)
for side in "${sides[@]}"; do
  [[ -n $vs ]] && echo "--- $side"
  micro=${root[$side]}/build/native/bin/micro_bench
  [[ -x $micro ]] || { echo "bench: the $side side has no micro_bench" && continue; }
  $micro --benchmark_repetitions=5 --benchmark_min_time=0.5 \
    --benchmark_out=$out/${micro_out[$side]} --benchmark_out_format=json
done

echo "=== belvor-bridge, CodeProc to a WebSocket client's receipt (this tree only)"
bench/bridge_bench.sh --runs 3 $( ((wine)) || echo --no-wine) && cat build/bench/bridge.jsonl >>$results
fi

if ((wine)); then
  # Both sides run in this tree's prefix, through this tree's runner.
  prefix=$PWD/build/windows/wine
  # Wine's own diagnostics go to the log; the results come on standard output.
  wine_log=$out/wine.log
  : >$wine_log
  wine_bench() { # side lines argument...: lines is "last" or "all" of the JSON lines
    local side=$1 lines=$2
    shift 2
    [[ -n $vs ]] && echo "--- $side"
    tools/wine-run.sh "$prefix" "${root[$side]}/build/windows/bin/wine_bench.exe" "$@" 2>>$wine_log |
      tee $out/wine.out | grep -v '^JSON' || true
    grep '^JSON' $out/wine.out | { if [[ $lines == last ]]; then tail -1; else cat; fi; } | cut -c6- |
      tag $side >>$results
  }
  if ((!idle_only)); then
  echo "=== latency under Wine (ReadFile loop, then the library), $runs runs"
  for ((k = 0; k < runs; k++)); do
    each_side $k wine_bench last latency --codes 300 --run $k
  done
  echo "=== throughput under Wine (ReadFile loop, reference reader, then the library; the record's bare calls), 3 runs"
  for ((k = 0; k < 3; k++)); do
    each_side $k wine_bench all throughput --seconds 3 --run $k
  done
  echo "=== one log record under Wine, 3 runs"
  for ((k = 0; k < 3; k++)); do
    each_side $k wine_bench all log --codes 3000 --run $k
  done
  fi

  echo "=== idle driver under Wine, beside the reference reader: the host process and wineserver, 5 runs"
  # wineserver of this prefix (wineserver64 on Debian, whatever the prefix's
  # arch): its working directory is named after the prefix's device and inode.
  server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix"))
  find_server() {
    local p
    for p in $(pgrep '^wineserver'); do
      [[ $(readlink /proc/$p/cwd 2>/dev/null) == */$server_dir ]] && echo $p && return
    done
  }
  wine_idle() { # side run
    [[ -n $vs ]] && echo "--- $1"
    tools/wine-run.sh "$prefix" "${root[$1]}/build/windows/bin/wine_bench.exe" idle --seconds 5 --run $2 \
      2>>$wine_log | {
      host= server= json=
      declare -A begin spent took
      while IFS= read -r line; do
        line=${line%$'\r'} # a Windows program's line ends
        word=${line%% *} rest=${line#* }
        case $word in
          PID) host=$rest ;;
          MARK)
            read -r phase edge <<<"$rest"
            if [[ -z $server ]]; then
              server=$(find_server)
              [[ -n $server ]] || { server=0 && echo "bench: no wineserver found for $prefix; its CPU is not counted"; }
            fi
            now=$(date +%s%N)
            cpu=$(proc_cpu_ns "$host" "$server")
            if [[ $edge == begin ]]; then
              begin[$phase]="$now $cpu"
            else
              # A phase that comes once per turn adds its turns up.
              read -r t0 c0 <<<"${begin[$phase]}"
              spent[$phase]=$((${spent[$phase]:-0} + cpu - c0)) took[$phase]=$((${took[$phase]:-0} + now - t0))
              share=$(awk -v c=$((cpu - c0)) -v t=$((now - t0)) 'BEGIN { printf "%.6f", c / t }')
              echo "wine idle, phase \"$phase\": host process + wineserver $(awk -v s=$share 'BEGIN { printf "%.3f", 100 * s }') % of one core"
            fi
            ;;
          JSON)
            for phase in "${!spent[@]}"; do
              json+=",\"proc_cpu_$phase\":$(awk -v c=${spent[$phase]} -v t=${took[$phase]} 'BEGIN { printf "%.6f", c / t }')"
            done
            echo "${rest%\}}$json}" | tag $1 >>$results
            ;;
          *) echo "$line" ;;
        esac
      done
    }
  }
  # Five: a run's phases move by a tenth or more with what else the machine does.
  for ((k = 0; k < 5; k++)); do
    each_side $k wine_idle $k
  done
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
fi

rm -f $scratch
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >>$out/machine.txt
$python bench/report.py $out
if ((docs)); then
  cp $out/latency.png docs/benchmarks-latency.png
  echo "copied the plot to docs/benchmarks-latency.png"
fi
