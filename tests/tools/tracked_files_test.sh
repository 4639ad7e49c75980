#!/usr/bin/env bash
# What a run leaves in the source tree (Python's byte code beside the tools the
# tests import, a build) is ignored by git and never committed.
#   tracked_files_test.sh SOURCE_DIR
# Skipped (77) where the sources are not a git checkout.
cd "$1" && git rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "skipped: not a git checkout"; exit 77; }
status=0
committed=$(git ls-files -ci --exclude-standard; git ls-files | grep -E '(^|/)__pycache__/|\.py[co]$')
[[ -z $committed ]] || { echo "FAILED: committed, but a run makes them:" && echo "$committed" && status=1; }
for made in tools/__pycache__/scanner_line.cpython-311.pyc build/native/CMakeCache.txt; do
  git check-ignore -q "$made" || { echo "FAILED: not ignored: $made" && status=1; }
done
((status == 0)) && echo "ok: no file a run makes is committed, and git ignores them"
exit $status
