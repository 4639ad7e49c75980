#!/usr/bin/env bash
# Fails when a tracked C or C++ source differs from what clang-format makes of
# it with the repository's .clang-format; prints the differences. Run
# `git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format -i` to fix them.
set -uo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "check-format: clang-format is not installed (tools/install-deps.sh installs it)" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.inl')
if ((${#files[@]} == 0)); then
  echo "check-format: no sources found" >&2
  exit 2
fi

if ! clang-format --style=file --dry-run --Werror "${files[@]}"; then
  echo "check-format: the files above are not formatted as .clang-format asks" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
