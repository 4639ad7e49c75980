#!/usr/bin/env bash
# tools/source-date.sh on the kinds of source tree a release is made from:
#   source_date_test.sh SOURCE_DATE_SCRIPT
# Prints one line per case and "N passed, N failed".
set -u
script=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/belvor-source-date.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A tree of sources dated 1000000000, its newest file 1200000000, and newer
# files still in what builds and releases write.
sources() {
  mkdir -p "$1/tools" "$1/build/native" "$1/dist"
  touch -d @1000000000 "$1/CMakeLists.txt" "$1/tools/release.sh"
  touch -d @1200000000 "$1/README.md"
  touch -d @1300000000 "$1/build/native/CMakeCache.txt" "$1/dist/SHA256SUMS"
}
commit() { # commit DIR EPOCH
  git -C "$1" init -q && git -C "$1" add -A &&
    GIT_COMMITTER_DATE=@$2 GIT_AUTHOR_DATE=@$2 git -C "$1" -c user.name=t -c user.email=t@t commit -qm t
}

sources "$work/archive"
sources "$work/checkout" && commit "$work/checkout" 1100000000
# Unpacked inside some other repository: that one's commits are not the sources'.
mkdir -p "$work/home" && touch "$work/home/.profile" && commit "$work/home" 1050000000 && sources "$work/home/archive"

passed=0 failed=0
while read -r what tree epoch expected; do
  if [[ $epoch == - ]]; then
    got=$(env -u SOURCE_DATE_EPOCH bash "$script" "$work/$tree" 2>&1)
  else
    got=$(SOURCE_DATE_EPOCH=$epoch bash "$script" "$work/$tree" 2>&1)
  fi
  if [[ "$got" == "$expected" ]]; then
    echo "ok: $what: $got" && passed=$((passed + 1))
  else
    echo "FAILED: $what: got '$got', expected $expected" && failed=$((failed + 1))
  fi
done <<'CASES'
unpacked-archive:newest-source-file archive - 1200000000
unpacked-archive:SOURCE_DATE_EPOCH archive 42 42
git-checkout:last-commit checkout - 1100000000
git-checkout:SOURCE_DATE_EPOCH checkout 42 42
archive-inside-another-repository:newest-source-file home/archive - 1200000000
CASES
echo "$passed passed, $failed failed"
((failed == 0))
