#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Safe to run again: it only installs what is missing.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_missing() { ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev \
         g++-mingw-w64-i686-posix python3 util-linux procps socat clang-format valgrind \
         clang-14 libclang-rt-14-dev llvm-14; do
  pkg_missing "$p" && need+=("$p")
done

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need+=(wine wine32:i386)
else
  pkg_missing wine && need+=(wine)
  pkg_missing wine32:i386 && need+=(wine32:i386)
fi

if ((${#need[@]})); then
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
