#!/usr/bin/env bash
# gcc's -wrapper for the Windows test programs: collect2's link runs as lld,
# in the MinGW mode that gcc's own -m i386pe/i386pep selects, in a tenth of
# GNU ld's time over GoogleTest's programs. mingw gcc names its linker by an
# absolute path, so -fuse-ld=lld cannot reach it. Every other subcommand runs
# as given.   lld-wrapper.sh LLD PROGRAM ARGS...
lld=$1 program=$2
shift 2
[[ ${program##*/} == collect2 ]] || exec "$program" "$@"
# GNU ld's default stack reserve, 2 MiB (lld's is 1 MiB): the programs' threads
# are sized by it. A --stack of the program's own comes later and wins.
args=(--stack 2097152)
while (($#)); do
  case $1 in
  -plugin) shift ;; # GNU ld's LTO plugin and its options
  -plugin-opt=*) ;;
  *) args+=("$1") ;;
  esac
  shift
done
exec "$lld" "${args[@]}"
