#!/usr/bin/env bash
# Runs one example against the simulated scanner and checks what it prints:
#   run_example.sh SYSTEM_DIR SIM PORT -- COMMAND...     (Linux: the scanner is a pty linked as COM<PORT>)
#   run_example.sh --wine PREFIX SIM PORT -- COMMAND...  (under tools/wine-run.sh: COM7 <-> COM8)
#   run_example.sh --status SYSTEM_DIR ...               (also: stderr tells of the scanner leaving)
# COMMAND gets PORT and --seconds; then it runs again on port 0, which must fail.
set -u
wine=false status=false
[ "$1" = --wine ] && { wine=true; shift; }
[ "$1" = --status ] && { status=true; shift; }
place=$1 sim=$2 port=$3
shift 4
out=$(mktemp) err=$(mktemp)
simpid=
trap 'rm -f "$out" "$err"; [ -n "$simpid" ] && kill $simpid 2>/dev/null' EXIT

# What scanner-sim's first six codes become with the default allow-list: one
# line each, the empty code an empty line.
expected=$'4006381333931\n1234CD\n5901234123457\n\nABC123\n0012345678905'

if $wine; then
  # The scanner types into COM8 once the example holds COM7 (both made by wine-run.sh),
  # after the driver's start has purged the port: Wine opens the port long
  # before a loaded machine's Wine has the driver's thread running.
  python3 "$sim" --line "$place/dosdevices/com8" --wait-open "$place/dosdevices/com7" \
    --count 6 --interval 0.05 --delay 2 >/dev/null &
  simpid=$!
  seconds=6
else
  python3 "$sim" --dir "$place" --port "$port" --count 6 --interval 0.05 --delay 0.5 --wait-open >/dev/null &
  simpid=$!
  for _ in $(seq 100); do [ -e "$place/com$port" ] && break; sleep 0.05; done
  seconds=3
fi

fail=0
"$@" "$port" --seconds $seconds >"$out" 2>"$err"
rc=$?
$wine && sed -i 's/\r$//' "$out" # Windows ends its text lines with CR LF
if [ "$(cat "$out")" != "$expected" ] || [ "$(wc -l <"$out")" != 6 ]; then
  echo "FAILED: the codes printed:"; cat -A "$out"; echo "expected:"; cat -A <<<"$expected"; fail=1
fi
((rc == 0)) || { echo "FAILED: exit status $rc"; cat "$err"; fail=1; }
# The simulated scanner hangs up once it has typed its codes.
if $status; then
  for line in "scan: COM$port lost (error 5)" "scan: 6 codes, 0 cut, 0 dropped; lost 1 times"; do
    grep -qxF "$line" "$err" || { echo "FAILED: no \"$line\" on stderr:"; cat "$err"; fail=1; }
  done
fi

# A port that cannot be opened: the system's reason on stderr, nothing on stdout, status 1.
"$@" 0 --seconds 1 >"$out" 2>"$err"
rc=$?
reason='Invalid argument'
$wine && reason='(error 87)' # ERROR_INVALID_PARAMETER, in Wine's words or Windows'
((rc == 1)) || { echo "FAILED: port 0 exited with $rc"; fail=1; }
grep -qF "$reason" "$err" || { echo "FAILED: port 0 said on stderr:"; cat "$err"; fail=1; }
[ -s "$out" ] && { echo "FAILED: port 0 printed on stdout:"; cat "$out"; fail=1; }
((fail == 0)) && echo "ok: six codes printed exactly; port 0 fails with \"$reason\""
exit $fail
