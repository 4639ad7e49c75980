#!/usr/bin/env bash
# Runs one Windows program under Wine in a private prefix (first argument),
# with a null-modem cable made of two ptys: COM7 <-> COM8. Used as CMake's
# cross-compiling emulator, so every Windows test program runs through it.
#
# The prefix is 32-bit (WINEARCH=win32) for a 32-bit program and 64-bit
# (win64, run by wine64) for a 64-bit one, as the program's PE header says;
# `--arch win32|win64` after the prefix says it instead (for a built-in command,
# the arch the prefix was made with). A prefix keeps the
# arch it was made with, so each arch needs its own.
#
# The program may pull the cable and plug it back in: BELVOR_CABLE_DIR names a
# directory (as Z:\...) where it creates a file `down` (socat is ended, which
# hangs both ptys up, and the links go) or `up` (socat runs again with the same
# links); the file is deleted once that is done.
#
# BELVOR_WINEDEBUG, when set, is Wine's WINEDEBUG (default -all): e.g.
# +tid,+timestamp,+comm,+relay to see which call a thread is in.
set -u
prefix=$(realpath -m "$1")
shift
arch=
if [ "${1:-}" = --arch ]; then
  arch=$2
  shift 2
fi

# The machine field of the PE header: 8664 is x86-64, 014c is i386.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return
  [ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
if [ -z "$arch" ]; then
  case "$(pe_machine "${1:-}")" in
  8664) arch=win64 ;;
  014c) arch=win32 ;;
  *) # Not a program file (a built-in command): the arch the prefix has.
    arch=$(sed -n 's/^#arch=//p' "$prefix/system.reg" 2>/dev/null)
    arch=${arch:-win32} ;;
  esac
fi
case "$arch" in
win32) wine=(wine) ;;
win64) wine=(/usr/lib/wine/wine64) && export WINELOADER=/usr/lib/wine/wine64 ;;
*) echo "wine-run: --arch must be win32 or win64" >&2 && exit 2 ;;
esac
export WINEPREFIX=$prefix WINEDEBUG=${BELVOR_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=$arch

# One-time prefix creation, safe against parallel callers; the server that
# made it is waited out. A server still running from the last program is kept:
# starting a fresh one for each program would cost two seconds a program.
mkdir -p "$(dirname "$prefix")"
# A program that crashes ends at once with its exception's code: no debugger is
# started, whose dialog, with no one to close it, would hold the program until
# its test's time-out.
no_debugger='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
flock "$prefix.lock" bash -c '[ -f "$WINEPREFIX/system.reg" ] || { "$0" wineboot -i >/dev/null 2>&1;
  "$0" reg add "$1" /v Debugger /t REG_SZ /d "" /f >/dev/null 2>&1; wineserver -w; }' "${wine[0]}" "$no_debugger"

# The wineserver opens the ptys and, having no terminal, gets one of them as
# its own: a hang-up sends it SIGHUP, on which it dumps all its objects to its
# standard error. Started here, it dumps them nowhere. It stays 30 s after the
# last program, and so do Wine's service programs, started here with it: had
# a test program started them, they would hold its output open, and ctest
# would wait for them after every program.
if wineserver -p30 </dev/null >/dev/null 2>&1; then
  "${wine[@]}" cmd /c exit </dev/null >/dev/null 2>&1
fi

com7=$prefix/dosdevices/com7
com8=$prefix/dosdevices/com8
cable=
socat_pid=

plug_in() {
  rm -f "$com7" "$com8"
  socat pty,raw,echo=0,link="$com7" pty,raw,echo=0,link="$com8" &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$com7" ] && [ -e "$com8" ] && return
    sleep 0.05
  done
}

pull_out() {
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null
    wait "$socat_pid" 2>/dev/null
  fi
  socat_pid=
  rm -f "$com7" "$com8"
}

if command -v socat >/dev/null; then
  plug_in
  cable=$(mktemp -d "${TMPDIR:-/tmp}/belvor-cable.XXXXXX")
  export BELVOR_CABLE_DIR="Z:${cable//\//\\}"
fi

if [ -n "$cable" ]; then
  # The program's requests, served while it runs; socat stays this shell's
  # child so that it can be ended and waited for here.
  # Wine keeps the pid of the shell that execs it: the program can read its
  # own CPU time from /proc/$BELVOR_HOST_PID.
  (export BELVOR_HOST_PID=$BASHPID && exec "${wine[@]}" "$@") <&0 &
  wine_pid=$!
  trap 'kill "$wine_pid" 2>/dev/null; pull_out; rm -rf "$cable"; exit 143' INT TERM
  while kill -0 "$wine_pid" 2>/dev/null; do
    if [ -e "$cable/down" ]; then
      pull_out
      rm -f "$cable/down"
    fi
    if [ -e "$cable/up" ]; then
      pull_out
      plug_in
      rm -f "$cable/up"
    fi
    sleep 0.05
  done
  wait "$wine_pid"
  rc=$?
  pull_out
  rm -rf "$cable"
else
  (export BELVOR_HOST_PID=$BASHPID && exec "${wine[@]}" "$@")
  rc=$?
fi
exit $rc
