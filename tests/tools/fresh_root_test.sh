#!/usr/bin/env bash
# tools/fresh-root.sh where mounts are left or cannot be made:
#   fresh_root_test.sh FRESH_ROOT_SCRIPT
# its removal of a root that a killed run left with a bind mount in it (as
# mmdebstrap leaves the machine's /dev/shm) leaves what is mounted whole; in a
# chroot, or without the right to make mounts, it says why and is skipped (77).
# Runs in a mount namespace of its own: where none can be made, it is skipped itself.
set -u
script=$(realpath "$1")
if [[ -z ${FRESH_ROOT_TEST_WORK:-} ]]; then
  ((EUID == 0)) || { echo "skipped: needs root, for mounts"; exit 77; }
  why=$(unshare --mount --propagation private true 2>&1) || { echo "skipped: no mount namespace here: $why"; exit 77; }
  work=$(mktemp -d "${TMPDIR:-/tmp}/belvor-fresh-root.XXXXXX")
  FRESH_ROOT_TEST_WORK=$work unshare --mount --propagation private bash "$0" "$@"
  status=$?
  # The namespace is gone, and its mounts with it.
  rm -rf --one-file-system "$work"
  exit $status
fi
work=$FRESH_ROOT_TEST_WORK
# fresh-root.sh's own, with the shell options it runs under.
remove_root() { (set -euo pipefail && source "$script" && remove_root "$@"); }
passed=0 failed=0
result() { # result WHAT CONDITION
  if eval "$2"; then
    echo "ok: $1" && passed=$((passed + 1))
  else
    echo "FAILED: $1" && failed=$((failed + 1))
  fi
}

# A root with a stand-in for the machine's /dev/shm (a tmpfs) bound into it, and a file of its own.
leave_root() { # NAME
  root=$work/$1 shm=$work/$1-shm
  mkdir -p "$root/dev/shm" "$root/etc" "$shm" && mount -t tmpfs shm "$shm"
  echo kept >"$shm/kept" && echo root >"$root/etc/file" && mount --bind "$shm" "$root/dev/shm"
}
whole() { [[ $(cat "$shm/kept" 2>/dev/null) == kept ]]; }

leave_root left
remove_root "$root"
result "a bind mount left in the root: the root removed, what was mounted whole" '[[ ! -e $root ]] && whole'

# Busy: a program works in it, so that only a lazy unmount can undo it.
leave_root busy
cd "$root/dev/shm" && { sleep 600 & } && cd "$work"
holder=$!
remove_root "$root"
result "a busy bind mount: unmounted lazily, the root removed, what was mounted whole" '[[ ! -e $root ]] && whole'
kill "$holder" && wait "$holder" 2>/dev/null

# A mount that will not go: nothing is removed.
leave_root stuck
mkdir -p "$work/bin" && printf '#!/bin/sh\nexit 32\n' >"$work/bin/umount" && chmod +x "$work/bin/umount"
PATH=$work/bin:$PATH remove_root "$root" 2>/dev/null
status=$?
result "a mount that cannot be undone: refused, nothing removed" '((status != 0)) && [[ -f $root/etc/file ]] && whole'
# One that findmnt does not list: rm still stops at its file system.
printf '#!/bin/sh\n' >"$work/bin/findmnt" && chmod +x "$work/bin/findmnt"
PATH=$work/bin:$PATH remove_root "$root" 2>/dev/null
result "a mount that findmnt does not list: rm does not cross into it" 'whole'
umount "$root/dev/shm"

# fresh-root.sh where it cannot make a mount namespace: skipped, saying why,
# before anything else (a stand-in mmdebstrap says if it was reached).
mkdir -p "$work/fake" && printf '#!/bin/sh\necho "mmdebstrap reached"\nexit 1\n' >"$work/fake/mmdebstrap"
chmod +x "$work/fake/mmdebstrap"
skipped() { # REASON: $out and $status are fresh-root.sh's
  echo "$out" | sed 's/^/    /'
  [[ $status == 77 && $out == *"fresh-root: skipped: no mount namespace can be made here ("*"$1"* && $out != *reached* ]]
}
out=$(PATH=$work/fake:$PATH setpriv --bounding-set=-sys_admin bash "$script" 2>&1)
status=$?
result "without the right to make mounts (an unprivileged container): skipped" 'skipped "not permitted"'
# A chroot: its / is no mount point, so unshare cannot make its mounts private.
jail=$work/jail
mkdir -p "$jail/usr" "$jail/dev" "$jail/belvor/tools" "$jail/fake"
mount --rbind /usr "$jail/usr" && mount --rbind /dev "$jail/dev"
for dir in bin lib lib64 sbin; do [[ -e /usr/$dir ]] && ln -s "usr/$dir" "$jail/$dir"; done
cp "$script" "$jail/belvor/tools/" && cp "$work/fake/mmdebstrap" "$jail/fake/"
out=$(chroot "$jail" /usr/bin/env -i PATH=/fake:/usr/bin:/usr/sbin bash /belvor/tools/fresh-root.sh 2>&1)
status=$?
result "inside a chroot: skipped" 'skipped "cannot change root filesystem propagation"'

echo "$passed passed, $failed failed"
((failed == 0))
