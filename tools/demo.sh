#!/usr/bin/env bash
# The main job on a fresh machine: builds the library and the monitor, starts
# a simulated scanner on COM5, and shows the codes arriving. Ctrl-C stops it.
#   DEMO_SECONDS=N  stop by itself after N seconds
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the native build and Python: no Wine, cross compilers or bindings' tools.
bash tools/install-deps.sh demo
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target belvor monitor >/dev/null
system_dir=$(sed -n 's/^BELVOR_SYSTEM_DIR:PATH=//p' build/native/CMakeCache.txt)

python3 tools/scanner-sim.py --dir "$system_dir" --port 5 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$system_dir/com5" ] && break; sleep 0.05; done

args=(5)
[ -n "${DEMO_SECONDS:-}" ] && args=(--seconds "$DEMO_SECONDS" 5)
build/native/bin/monitor "${args[@]}"
