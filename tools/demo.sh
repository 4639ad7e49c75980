#!/usr/bin/env bash
# The main job on a fresh machine: builds the library and the monitor, starts
# a simulated scanner on COM5, and shows the codes arriving: a till of the 2D
# era's, whose scanner sends each code's symbology identifier, so that the
# monitor shows what each code is and a GS1 code's fields (GTIN, expiry,
# batch). Ctrl-C stops it.
#   DEMO_SECONDS=N  stop by itself after N seconds
set -euo pipefail
cd "$(dirname "$0")/.."
# Only a compiler, CMake and Python: the demo preset has no tests, bridge or bindings.
bash tools/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j2 --target belvor monitor >/dev/null
system_dir=$(sed -n 's/^BELVOR_SYSTEM_DIR:PATH=//p' build/demo/CMakeCache.txt)

# COM5 as such a till sets it: identifiers read, a GS1 code's group
# separator and a URI's characters kept, room for a long 2D code.
mkdir -p "$system_dir"
printf '[COM5]\r\nSymbologyId=Aim\r\nAllowCodes=29,32-126\r\nMaxLength=2000\r\n' >"$system_dir/Belvor.ini"

python3 tools/scanner-sim.py --dir "$system_dir" --port 5 --2d &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$system_dir/com5" ] && break; sleep 0.05; done

args=(5)
[ -n "${DEMO_SECONDS:-}" ] && args=(--seconds "$DEMO_SECONDS" 5)
build/demo/bin/monitor "${args[@]}"
