#!/usr/bin/env bash
# The built library exports InitDriver, DestroyDriver, SetEventProc and
# SetCodeProc (ordinal 4, after the first three) and nothing else; the Windows
# DLL needs no DLL but the system's own.
set -u
lib=$1
fail() { echo "FAIL: $*"; exit 1; }
case "$lib" in
*.dll)
  dump=$(i686-w64-mingw32-objdump -p "$lib") || fail "cannot read $lib"
  # Names with their index into the address table, whose ordinal base is 1.
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            grep -oE '\[ *[0-9]+\] [A-Za-z_@0-9]+' | sed 's/\[ *//; s/\]//' | sort)
  expected=$(printf '%s\n' "0 SetEventProc" "1 DestroyDriver" "2 InitDriver" "3 SetCodeProc" | sort)
  [[ "$exports" == "$expected" ]] || fail "exports are: $exports"
  echo "$dump" | grep -q 'Export Address Table -- Ordinal Base 1' || fail "ordinal base is not 1"
  imports=$(echo "$dump" | grep -oE 'DLL Name: .*' | sed 's/DLL Name: //' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $imports; do
    case "$dll" in kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll) ;; *) fail "needs $dll";; esac
  done
  echo "exports: $(echo $exports); imports: $(echo $imports)"
  ;;
*)
  exports=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
  [[ "$exports" == $'DestroyDriver\nInitDriver\nSetCodeProc\nSetEventProc' ]] || fail "exports are: $exports"
  echo "exports: $(echo $exports)"
  ;;
esac
echo "ok"
