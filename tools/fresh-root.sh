#!/usr/bin/env bash
# The README's commands on a fresh Debian 12: makes a minimal root with
# mmdebstrap (from Debian's archive, as this machine's apt is set up), clones
# the commit under test into it and runs the demo there. It passes only when
# the demo shows a code. The test command starts it first, beside everything.
#   fresh-root.sh           the demo, `bash tools/demo.sh`
#   fresh-root.sh --tests   the test command, `bash tools/test-all.sh`: try it
#                           before changing install steps (about 16 minutes)
#   FRESH_ROOT_LIMIT=N      seconds the demo may take, clone to first code (300)
# Needs root (chroot and mounts, in a mount namespace of its own) and mmdebstrap;
# where no mount namespace can be made (inside a chroot, an unprivileged
# container) it says why and exits 77: skipped.
# Uncommitted changes to tracked files go in with the commit.

say() { echo "fresh-root: $*"; }

# remove_root DIR: removes a root, never what is mounted in it. A run killed
# while mmdebstrap worked leaves its mounts behind (a bind mount of the
# machine's /dev/shm): each is unmounted first, the deepest first, lazily when
# busy; should one stay, nothing is removed. Nor does rm cross into another
# file system in any case.
mounts_under() { # DIR: the mount points under it, deepest first
  local target
  findmnt -rn -o TARGET | while IFS= read -r target; do
    target=$(printf '%b' "$target") # findmnt writes a space as \x20
    if [[ $target == "$1"/* ]]; then echo "$target"; fi
  done | LC_ALL=C sort -r
}
remove_root() {
  [[ -e $1 ]] || return 0
  local root mount left
  root=$(realpath "$1")
  while IFS= read -r mount; do
    umount "$mount" 2>/dev/null || umount --lazy "$mount" 2>/dev/null || true
  done < <(mounts_under "$root")
  left=$(mounts_under "$root")
  if [[ -n $left ]]; then
    say "not removing $root: it still has mounts that cannot be undone:" $left >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}
# Sourced (by its test): only the above.
[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

set -euo pipefail
cd "$(dirname "$0")/.."

mode=demo
case ${1:-} in
"") ;;
--tests) mode=tests ;;
*)
  echo "usage: fresh-root.sh [--tests]" >&2
  exit 2
  ;;
esac
limit=${FRESH_ROOT_LIMIT:-300}
((EUID == 0)) || { say "needs root, for chroot and mounts" >&2; exit 1; }
if ! why=$(unshare --mount --propagation private true 2>&1); then
  say "skipped: no mount namespace can be made here (${why:-unshare failed}); run it where one can be" >&2
  exit 77
fi
command -v mmdebstrap >/dev/null || { say "needs mmdebstrap (tools/install-deps.sh)" >&2; exit 1; }

rev=$(git stash create 2>/dev/null || true)
rev=${rev:-$(git rev-parse HEAD)}
root=$PWD/build/fresh-root-$mode
remove_root "$root"
mkdir -p build

# Debian's archive as apt has it here; mmdebstrap's own default otherwise.
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -s $file ]] && grep -qE '^[[:space:]]*(deb|URIs:)[[:space:]].*debian' "$file" && sources+=("$file")
done
started=$SECONDS
say "making a minbase bookworm root in $root"
# In a mount namespace of its own too: should it be killed, its mounts vanish with it.
unshare --mount --propagation private mmdebstrap --quiet --variant=minbase --include=git,ca-certificates bookworm "$root" "${sources[@]}"
say "root made in $((SECONDS - started)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The network as this machine has it: the certificate authorities it added
# (a site's proxy) are trusted there too.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
  chroot "$root" update-ca-certificates >/dev/null 2>&1
fi

# The clone, as a new user's: over git, from this repository, at the commit under test.
cloned=$SECONDS
git clone --quiet --no-checkout "file://$PWD" "$root/root/belvor"
git -C "$root/root/belvor" fetch --quiet "file://$PWD" "$rev"
git -C "$root/root/belvor" checkout --quiet --detach FETCH_HEAD
case $mode in
demo) command="DEMO_SECONDS=5 bash tools/demo.sh" ;;
tests) command="BELVOR_FRESH_ROOT=0 bash tools/test-all.sh" ;;
esac
say "cloned $rev; running: $command"

# The mounts vanish with the namespace, whatever ends the run.
inside() {
  local root=$1
  shift
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/belvor && $*"
}
in_root() { # [a command to run it under, such as timeout]
  "$@" unshare --mount --propagation private bash -c "$(declare -f inside); inside \"\$@\"" _ "$root" "$command"
}
if [[ $mode == tests ]]; then
  in_root
  exit
fi

first=
while IFS= read -r line; do
  echo "$line"
  # The simulated scanner's GS1 DataMatrix, read into its fields, as the monitor prints it.
  [[ -z $first && $line == *']d2 type 208: GTIN (01)09501101530003  expiry (17)271231  batch (10)AB-123'* ]] &&
    first=$((SECONDS - cloned))
done < <(in_root timeout --kill-after=10 "$limit" 2>&1)
if [[ -z $first ]]; then
  say "FAILED: no GS1 DataMatrix read into its fields within $limit s of the clone"
  exit 1
fi
remove_root "$root"
say "passed: the first GS1 DataMatrix showed, read, $first s after the clone"
