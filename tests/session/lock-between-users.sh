#!/usr/bin/env bash
# The per-printer lock between users, with the kernel set up as Debian 12 sets it
# (fs.protected_regular = 2: no create-open of another user's file in a sticky folder). A lock
# file another user made is a lock for everyone and never reads as "in use" when nobody holds it;
# a lock that cannot be used (a planted file, something else at its path, a folder the user cannot
# write) stops the run before anything reaches the printer, with a line that names the file, its
# owner and what an administrator can do.
#
#   lock-between-users.sh VIRTUAL_PRINTER PROGRAM WORK_DIR
#
# Needs root (setpriv, and the sysctl, which it restores); exits 77 (skipped) otherwise.
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  [ $# -eq 3 ] || { echo "usage: $0 VIRTUAL_PRINTER PROGRAM WORK_DIR" >&2; exit 2; }
  sysctl=/proc/sys/fs/protected_regular
  if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null || ! [ -w $sysctl ]; then
    echo "lock-between-users: needs root, setpriv and a writable $sysctl; skipped" >&2
    exit 77
  fi
  printer=$1 program=$2 work=$3
  rm -rf "$work" && mkdir -p "$work" && chmod 0755 "$work"
  before=$(cat $sysctl)
  echo 2 >$sysctl
  "$printer" --trace-json "$work/trace.jsonl" -- "$0" --inside "$program" "$work"
  status=$?
  echo "$before" >$sysctl
  exit $status
fi

program=$2 work=$3
# Open the emulated bus and the printer's device node to every user.
bus="${UMOCKDEV_DIR:?not run inside the virtual printer}"
chmod -R a+rX "$bus"
chmod 1777 "$bus"
find "$bus/ioctl" -type s -exec chmod a+rw {} +
find "$bus/dev/bus/usb" -type f -exec chmod a+rw {} +

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
sent() { grep -c '"event":"command"' "$work/trace.jsonl"; }
# check as USER (root: as is) with the lock folder DIR; sets status and out.
check() {
  local user=$1 dir=$2
  local as=()
  [ "$user" = root ] || as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --)
  out=$(env -u XDG_RUNTIME_DIR HOME=/nonexistent PV4410S_LOCK_DIR="$dir" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
        "${as[@]}" "$program" check 2>&1 >/dev/null)
  status=$?
  # The preload's udev monitor sockets, left behind in the sticky bus folder, would keep the
  # next user's copy from making its own.
  rm -f "$bus"/event*
}

# 1. A lock file daemon made, under a restrictive umask, serves nobody and root after it.
shared="$work/shared"
mkdir "$shared" && chmod 1777 "$shared"
lock="$shared/pv4410s-port-1-1.lock"
for user in daemon nobody root; do
  if [ $user = daemon ]; then umask 077; else umask 022; fi
  check $user "$shared"
  [ $status -eq 0 ] || fail "check as $user after daemon made the lock file: status $status: $out"
done
[ "$(stat -c %U "$lock")" = daemon ] || fail "the lock file is not daemon's: $(stat -c %U "$lock")"

# 2. Every lock that cannot be used: status 12, nothing sent, a line naming the file, its owner
# and the remedy.
expect_unusable() {  # WHAT USER DIR OWNER TEXT
  local n
  n=$(sent)
  check "$2" "$3"
  [ $status -eq 12 ] || fail "$1: status $status, want 12: $out"
  [ "$(sent)" = "$n" ] || fail "$1: commands were sent"
  for text in "$3/pv4410s-port-1-1.lock" "owner $4" "an administrator can" "$5"; do
    [[ $out == *"$text"* ]] || fail "$1: the line does not say \"$text\": $out"
  done
}
rm -f "$lock"
setpriv --reuid=daemon --regid=daemon --clear-groups -- sh -c "umask 077; : >'$lock'"
expect_unusable "a 0600 file of daemon's" nobody "$shared" "daemon, mode 0600" "Permission denied"
rm -f "$lock" && mkfifo "$lock"
expect_unusable "a FIFO" nobody "$shared" root "is a FIFO"
rm -f "$lock" && ln -s /etc/passwd "$lock"
expect_unusable "a symbolic link" root "$shared" root "is a symbolic link"
rm -f "$lock" && mkdir "$lock"
expect_unusable "a folder" nobody "$shared" root "is a folder"
closed="$work/closed"
mkdir "$closed" && chmod 0755 "$closed"
expect_unusable "a folder nobody may write" nobody "$closed" root "chmod 1777"

[ $failures -eq 0 ] && echo "lock between users: all passed"
exit $((failures > 0))
