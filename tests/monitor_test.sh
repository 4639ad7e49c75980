#!/usr/bin/env bash
# The main job end to end: the simulated scanner types its codes into a pty,
# the monitor loads the library, prints each code and shuts down cleanly.
# Then with --stats and the port's own MaxLength: a code cut, the scanner
# unplugged (its pty hung up) and back, and the statistics that add up to it.
# Last, a till's 2D scanner sending identifiers to a port set to read them:
# under each code's line, what it is and its GS1 fields.
set -u
monitor=$1 system_dir=$2 sim=$3
port=32
out=$(mktemp)
ini=$system_dir/Belvor.ini
simpid=
trap 'rm -f "$out" "$ini"; [ -n "$simpid" ] && kill $simpid 2>/dev/null' EXIT
python3 "$sim" --dir "$system_dir" --port $port --count 6 --interval 0.05 --delay 1 &
simpid=$!
for _ in $(seq 100); do [ -e "$system_dir/com$port" ] && break; sleep 0.05; done
"$monitor" --seconds 3 $port >"$out" 2>&1
rc=$?
cat "$out"
fail=0
expect() { grep -qE -- "$1" "$out" || { echo "missing: $1"; fail=1; }; }
expect_text() { grep -qF -- "$1" "$out" || { echo "missing: $1"; fail=1; }; }
expect_text '"4006381333931"      [0D 34 30 30 36 33 38 31 33 33 33 39 33 31]'
expect_text '"1234CD"             [06 31 32 33 34 43 44]'
expect_text '""                   [00]'
expect_text '"ABC123"             [06 41 42 43 31 32 33]'
expect_text 'monitor: 6 code(s); driver destroyed, 0 left'
grep -q 'monitor: COM32 open' "$out" && { echo "statistics without --stats"; fail=1; }
grep -qE '^ {14}' "$out" && { echo "a scan's line without SymbologyId"; fail=1; }
((rc == 0)) || { echo "monitor exited with $rc"; fail=1; }
kill $simpid 2>/dev/null # the scanner back, still waiting to send its second code: its cable pulled
wait $simpid

printf '[COM%d]\r\nMaxLength=12\r\n' $port >"$ini"
( python3 "$sim" --dir "$system_dir" --port $port --count 1 --delay 0.3 --wait-open >/dev/null
  # Back on the same port; its second code would come long after the monitor has gone.
  exec python3 "$sim" --dir "$system_dir" --port $port --count 2 --interval 30 --delay 0.3 --wait-open >/dev/null ) &
simpid=$!
for _ in $(seq 100); do [ -e "$system_dir/com$port" ] && break; sleep 0.05; done
"$monitor" --seconds 5.5 --stats=1 $port >"$out" 2>&1
rc=$?
echo "--- with --stats=1 and MaxLength=12:"
cat "$out"
expect '^[0-9:.]{12}  COM32: code cut, 13 characters received$'
expect_text '"400638133393"       [0C 34 30 30 36 33 38 31 33 33 33 39 33]'
expect '^[0-9:.]{12}  COM32 lost: Input/output error \(error 5\)$'
expect '^[0-9:.]{12}  COM32 back$'
expect '^monitor: COM32 open; codes 2 delivered, 0 undelivered, 2 cut, 0 dropped; queue 0 \(at most 1\)$'
expect '^monitor: COM32 bytes 28 received, 0 refused; line errors 0 overrun, 0 parity, 0 framing, 0 break$'
expect '^monitor: COM32 lost 1 time\(s\), back 1 time\(s\), last error 5; last code [0-9]+ ms ago$'
expect '^monitor: COM32 reader running, last round [0-9]+ ms ago; stalled 0 time\(s\)$'
[ "$(grep -c '^monitor: COM32 lost [0-9]' "$out")" -ge 3 ] || { echo "no statistics every second"; fail=1; }
tail -n 3 "$out" | head -n 1 | grep -q '^monitor: COM32 lost 1 time' || { echo "no statistics at exit"; fail=1; }
expect_text 'monitor: 2 code(s); driver destroyed, 0 left'
((rc == 0)) || { echo "monitor exited with $rc"; fail=1; }
kill $simpid 2>/dev/null # the scanner back, still waiting to send its second code: its cable pulled
wait $simpid

printf '[COM%d]\r\nSymbologyId=Aim\r\nAllowCodes=29,32-126\r\n' $port >"$ini"
python3 "$sim" --dir "$system_dir" --port $port --2d --count 4 --interval 0.05 --delay 0.3 --wait-open >/dev/null &
simpid=$!
for _ in $(seq 100); do [ -e "$system_dir/com$port" ] && break; sleep 0.05; done
"$monitor" --seconds 2.5 $port >"$out" 2>&1
rc=$?
echo "--- a 2D scanner, SymbologyId=Aim:"
cat "$out"
# Each scan's line right under its code's.
scanned() { grep -A1 -F -- "\"$1\"" "$out" | grep -qE -- "^ {14}$2\$" || { echo "missing under \"$1\": $2"; fail=1; }; }
scanned ']d201095011015300031727123110AB-123.21SN00042' \
  '\]d2 type 208: GTIN \(01\)09501101530003  expiry \(17\)271231  batch \(10\)AB-123  serial \(21\)SN00042'
scanned ']E04006381333931' '\]E0 type 104: GTIN \(01\)04006381333931'
scanned ']Q1https://id.gs1.org/01/09506000134352/10/LOT7?17=270630' \
  '\]Q1 type 204, Digital Link: GTIN \(01\)09506000134352  batch \(10\)LOT7  expiry \(17\)270630'
scanned ']C10119501101530000310300125015271215' \
  '\]C1 type 120: GTIN \(01\)19501101530000  \(3103\)001250  best before \(15\)271215'
expect_text 'monitor: 4 code(s); driver destroyed, 0 left'
((rc == 0)) || { echo "monitor exited with $rc"; fail=1; }
exit $fail
