#!/usr/bin/env bash
# tools/install-deps.sh on made-up machines: every program it asks to act is a
# stand-in on PATH that writes down its call (and "(root)" under the stand-in
# sudo, which, like Debian's, runs its command with the system's PATH only).
#   install_deps_test.sh INSTALL_DEPS_SCRIPT
# Prints one line per case and "N passed, N failed".
set -u
script=$(realpath "$1")
lock=$(dirname "$script")/../tests/browser/package-lock.json
work=$(mktemp -d "${TMPDIR:-/tmp}/belvor-install-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The system's programs: the real tools the script uses, and stand-ins for the
# ones that would change the machine. npm is only on the user's PATH, as nvm puts it.
export SYS=$work/sys LOG=$work/calls
mkdir -p "$SYS" "$work/sudo" "$work/nvm/bin"
for tool in bash cat cmp cp dirname env grep mkdir mktemp mv rm; do ln -s "$(command -v $tool)" "$SYS/$tool"; done
stub() { # stub PATH BODY: logs "name args (user|root)", then runs BODY
  printf '#!/bin/bash\necho "${0##*/} $* (${AS:-user})" >>"$LOG"\n%s\n' "$2" >"$1" && chmod +x "$1"
}
for tool in apt-get update-rc.d invoke-rc.d; do stub "$SYS/$tool" ''; done
stub "$SYS/dpkg" '[[ $1 == --print-foreign-architectures ]] && echo i386; true'
printf '#!/bin/bash\nfor p in $MISSING; do [[ $p == "${!#}" ]] && exit 1; done; printf "install ok installed"\n' >"$SYS/dpkg-query"
printf '#!/bin/bash\necho "$FAKE_UID"\n' >"$SYS/id"
printf '#!/bin/bash\n[[ $* == "-n true" ]] && exit 0\nexec /usr/bin/env -i PATH="$SYS" LOG="$LOG" AS=root "$@"\n' >"$work/sudo/sudo"
chmod +x "$SYS/dpkg-query" "$SYS/id" "$work/sudo/sudo"
stub "$work/nvm/bin/npm" '[[ $1 == ci && -f package-lock.json ]] || exit 1
mkdir -p node_modules/puppeteer-core && echo "{}" >node_modules/puppeteer-core/package.json'

passed=0 failed=0
# try WHAT STATUS FORBIDDEN REQUIRED...: runs the script as FAKE_UID, with the
# stand-in sudo when SUDO=yes, MISSING packages and NODE (none, stale, current)
# in its place; passes on STATUS, no line matching the FORBIDDEN pattern and
# a line matching each REQUIRED one, among what it printed and the calls.
try() {
  local what=$1 status=$2 forbidden=$3 rc out
  shift 3
  rm -rf "$work/node" "$LOG" && : >"$LOG"
  if [[ $NODE != none ]]; then
    mkdir -p "$work/node/node_modules/puppeteer-core" && echo "{}" >"$work/node/node_modules/puppeteer-core/package.json"
    cp "$lock" "$work/node/package-lock.json"
    [[ $NODE == stale ]] && echo " " >>"$work/node/package-lock.json"
  fi
  local path=$work/nvm/bin:$SYS
  [[ $SUDO == yes ]] && path=$work/sudo:$path
  out=$(PATH=$path BELVOR_NODE_DIR=$work/node TMPDIR=$work "$SYS/bash" "$script" all 2>&1 </dev/null)
  rc=$?
  out+=$'\n'$(cat "$LOG")
  local ok=true pattern
  [[ $rc == "$status" ]] || ok=false
  ! grep -qE -- "$forbidden" <<<"$out" || ok=false
  for pattern in "$@"; do grep -qE -- "$pattern" <<<"$out" || ok=false; done
  if $ok; then
    echo "ok: $what" && passed=$((passed + 1))
  else
    echo "FAILED: $what: status $rc (expected $status)" && sed 's/^/    /' <<<"$out" && failed=$((failed + 1))
  fi
}
FAKE_UID=1000 SUDO=yes MISSING= NODE=none try "npm under nvm, sudo with the system's PATH: npm ci from the lockfile, no scripts, as the user" \
  0 'npm .*\(root\)|npm install|not found' '^npm ci --ignore-scripts .*\(user\)$'
if cmp -s "$lock" "$work/node/package-lock.json" && [[ -f $work/node/node_modules/puppeteer-core/package.json ]]; then
  echo "ok: the lockfile and puppeteer-core copied into place" && passed=$((passed + 1))
else
  echo "FAILED: the lockfile and puppeteer-core are not in place" && failed=$((failed + 1))
fi
FAKE_UID=1000 SUDO=yes MISSING= NODE=stale try "a lockfile changed since the install: installed again" \
  0 'npm install' '^npm ci --ignore-scripts .*\(user\)$'
FAKE_UID=1000 SUDO=no MISSING= NODE=none try "no sudo, only puppeteer-core missing: says what and how, runs nothing" \
  1 'not found|^npm|^apt-get' "puppeteer-core in $work/node" 'neither root nor a usable sudo'
FAKE_UID=1000 SUDO=no MISSING= NODE=current try "no sudo, nothing missing: only looks" 0 'sudo|^npm|^apt-get'
FAKE_UID=1000 SUDO=yes MISSING="socat prometheus" NODE=current try "prometheus installed now: its service stopped and disabled" \
  0 'npm' '^apt-get install .* socat prometheus \(root\)$' '^update-rc.d prometheus disable \(root\)$' \
  '^invoke-rc.d prometheus stop \(root\)$'
FAKE_UID=0 SUDO=no MISSING=socat NODE=current try "root without sudo; a prometheus installed before is left alone" \
  0 'prometheus|sudo' '^apt-get install .* socat \(user\)$'

echo "$passed passed, $failed failed"
((failed == 0))
