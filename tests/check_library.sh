#!/usr/bin/env bash
# The built library exports InitDriver, DestroyDriver, SetEventProc, then
# SetCodeProc, SetStatusProc, GetDriverStats, SetScanProc and ParseScan (ordinals 4 to 8)
# and nothing else; the Windows
# DLL needs no DLL but the system's own. An optional second argument is what
# the library must be built for: the DLL's PE format (pei-i386, pei-x86-64) or
# the shared object's soname (libbelvor.so.1).
set -u
lib=$1 expect=${2:-}
fail() { echo "FAIL: $*"; exit 1; }
case "$lib" in
*.dll)
  # The x86-64 objdump reads both the 32-bit and the 64-bit format.
  dump=$(x86_64-w64-mingw32-objdump -p "$lib") || fail "cannot read $lib"
  format=$(echo "$dump" | sed -n 's/.*file format //p' | head -1)
  [[ -z "$expect" || "$format" == "$expect" ]] || fail "format is $format, not $expect"
  # Names with their index into the address table, whose ordinal base is 1.
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            grep -oE '\[ *[0-9]+\] [A-Za-z_@0-9]+' | sed 's/\[ *//; s/\]//' | sort)
  expected=$(printf '%s\n' "0 SetEventProc" "1 DestroyDriver" "2 InitDriver" "3 SetCodeProc" "4 SetStatusProc" "5 GetDriverStats" "6 SetScanProc" "7 ParseScan" | sort)
  [[ "$exports" == "$expected" ]] || fail "exports are: $exports"
  echo "$dump" | grep -q 'Export Address Table -- Ordinal Base 1' || fail "ordinal base is not 1"
  imports=$(echo "$dump" | grep -oE 'DLL Name: .*' | sed 's/DLL Name: //' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $imports; do
    case "$dll" in kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll) ;; *) fail "needs $dll";; esac
  done
  echo "format: $format; exports: $(echo $exports); imports: $(echo $imports)"
  ;;
*)
  exports=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
  [[ "$exports" == $'DestroyDriver\nGetDriverStats\nInitDriver\nParseScan\nSetCodeProc\nSetEventProc\nSetScanProc\nSetStatusProc' ]] || fail "exports are: $exports"
  soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
  [[ -z "$expect" || "$soname" == "$expect" ]] || fail "soname is '$soname', not $expect"
  echo "soname: $soname; exports: $(echo $exports)"
  ;;
esac
echo "ok"
