#!/usr/bin/env bash
# The main job end to end: the simulated scanner types its codes into a pty,
# the monitor loads the library, prints each code and shuts down cleanly.
set -u
monitor=$1 system_dir=$2 sim=$3
port=32
out=$(mktemp)
trap 'rm -f "$out"; kill $simpid 2>/dev/null' EXIT
python3 "$sim" --dir "$system_dir" --port $port --count 6 --interval 0.05 --delay 1 &
simpid=$!
for _ in $(seq 100); do [ -e "$system_dir/com$port" ] && break; sleep 0.05; done
"$monitor" --seconds 3 $port >"$out" 2>&1
rc=$?
cat "$out"
fail=0
expect() { grep -qF -- "$1" "$out" || { echo "missing: $1"; fail=1; }; }
expect '"4006381333931"      [0D 34 30 30 36 33 38 31 33 33 33 39 33 31]'
expect '"1234CD"             [06 31 32 33 34 43 44]'
expect '""                   [00]'
expect '"ABC123"             [06 41 42 43 31 32 33]'
expect 'monitor: 6 code(s); driver destroyed, 0 left'
((rc == 0)) || { echo "monitor exited with $rc"; fail=1; }
exit $fail
