#!/usr/bin/env bash
# Runs a program as an unprivileged user (nobody) against a virtual PV4410S whose device node that
# user cannot open, and checks that the program names the cause on standard error: a line with
# LIBUSB_ERROR_ACCESS (or --expect TEXT) that points at the README's troubleshooting section.
#
#   unprivileged-open.sh [--expect TEXT] [--seconds N] VIRTUAL_PRINTER PROGRAM [ARGS...]
#
# The program may keep running after it has written the line (the updater waits in its
# "Printer is not connected." box): it is stopped once the line is there or after N seconds
# (default 20). Needs root (to drop to nobody with setpriv); exits 77 (skipped) otherwise.
set -euo pipefail

expect="LIBUSB_ERROR_ACCESS"
seconds=20
pointer='see "Troubleshooting" in the README'
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) expect="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --inside) inside=1; shift ;;
    *) break ;;
  esac
done

if [ -z "${inside:-}" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--expect TEXT] [--seconds N] VIRTUAL_PRINTER PROGRAM [ARGS...]" >&2; exit 2; }
  if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "unprivileged-open: needs root and setpriv; skipped" >&2
    exit 77
  fi
  printer="$1"; shift
  exec "$printer" -- "$0" --inside --expect "$expect" --seconds "$seconds" "$@"
fi

# Inside the virtual printer: UMOCKDEV_DIR is its emulated bus. Open the bus to everyone (sysfs
# to read, the folder for the preload's udev monitor socket, the ioctl sockets the preload
# connects to) but keep the device node itself root's alone, as a missing udev rule would.
bus="${UMOCKDEV_DIR:?not run inside the virtual printer}"
chmod -R a+rX "$bus"
chmod 1777 "$bus"
find "$bus/ioctl" -type s -exec chmod a+rw {} +
nodes=$(find "$bus/dev/bus/usb" -type f)
[ -n "$nodes" ] || { echo "unprivileged-open: no device node on the emulated bus" >&2; exit 1; }
chmod 0600 $nodes

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The virtual printer preloaded what this script needs; an ASan-built program wants its runtime
# first, which this shell did not have.
env -u XDG_RUNTIME_DIR HOME=/nonexistent \
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@" 2>"$log" >/dev/null &
pid=$!
for _ in $(seq $((seconds * 10))); do
  grep -qF -- "$expect" "$log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true

line=$(grep -F -- "$expect" "$log" | head -n 1 || true)
if [ -z "$line" ]; then
  echo "unprivileged-open: no line with $expect on standard error; it held:" >&2
  cat "$log" >&2
  exit 1
fi
echo "$line"
case "$line" in
  *"$pointer"*) exit 0 ;;
  *) echo "unprivileged-open: the line does not say: $pointer" >&2; exit 1 ;;
esac
