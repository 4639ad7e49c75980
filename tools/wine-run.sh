#!/usr/bin/env bash
# Runs one Windows program under Wine in a private prefix (first argument),
# with a null-modem cable made of two ptys: COM7 <-> COM8. Used as CMake's
# cross-compiling emulator, so every Windows test program runs through it.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32

# One-time prefix creation, safe against parallel callers.
mkdir -p "$(dirname "$prefix")"
flock "$prefix.lock" bash -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1; wineserver -w'

socat_pid=
if command -v socat >/dev/null; then
  rm -f "$prefix/dosdevices/com7" "$prefix/dosdevices/com8"
  socat pty,raw,echo=0,link="$prefix/dosdevices/com7" pty,raw,echo=0,link="$prefix/dosdevices/com8" &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$prefix/dosdevices/com7" ] && [ -e "$prefix/dosdevices/com8" ] && break
    sleep 0.05
  done
fi

wine "$@"
rc=$?
[ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
exit $rc
