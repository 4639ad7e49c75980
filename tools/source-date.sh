#!/usr/bin/env bash
# Prints the date the release's files carry, in seconds since 1970, so that the
# same sources make the same archives:
#   source-date.sh [SOURCE_DIR]      (default: the project this script is in)
# SOURCE_DATE_EPOCH when it is set; in a git checkout of the sources, the last
# commit's date; otherwise (an unpacked source archive) the newest source
# file's, leaving out what builds and releases write.
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/..}" && pwd -P)

if [[ -n "${SOURCE_DATE_EPOCH:-}" ]]; then
  echo "$SOURCE_DATE_EPOCH"
elif [[ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" -ef "$src" ]]; then
  # Its own checkout: not some other repository the sources were unpacked into.
  git -C "$src" log -1 --format=%ct
else
  find "$src" \( -path "$src/build" -o -path "$src/dist" -o -name .git \) -prune -o -type f -printf '%T@\n' |
    sort -n | tail -n 1 | cut -d. -f1 | grep .
fi
