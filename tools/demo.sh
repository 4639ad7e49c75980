#!/usr/bin/env bash
# The main job on a fresh machine: builds the library and the monitor, starts
# a simulated scanner on COM5, and shows the codes arriving. Ctrl-C stops it.
#   DEMO_SECONDS=N  stop by itself after N seconds
set -euo pipefail
cd "$(dirname "$0")/.."
# Only a compiler, CMake and Python: the demo preset has no tests, bridge or bindings.
bash tools/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j2 --target belvor monitor >/dev/null
system_dir=$(sed -n 's/^BELVOR_SYSTEM_DIR:PATH=//p' build/demo/CMakeCache.txt)

python3 tools/scanner-sim.py --dir "$system_dir" --port 5 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$system_dir/com5" ] && break; sleep 0.05; done

args=(5)
[ -n "${DEMO_SECONDS:-}" ] && args=(--seconds "$DEMO_SECONDS" 5)
build/demo/bin/monitor "${args[@]}"
