#!/usr/bin/env bash
# Captures as tests. `--capture` writes a pcap that tshark reads, showing the version request's
# bytes; the virtual printer's own --capture shows the same bulk transfers from its side; and
# every committed capture (tests/captures/NAME.pcap, made by scripts/make-captures from NAME.args)
# replays: its command, run again against a virtual printer set up as NAME.args says,
# must hold exactly the same conversation, byte for byte, in both directions. A change in what a
# program sends, or in what the printer answers, fails here until the captures are made again.
# Usage: replay_test.sh PROGRAM VIRTUAL_PRINTER WORK_DIR
set -uo pipefail
program=$1 printer=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/conversation.sh"
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# 1. tshark reads a capture of check and shows the read-back look's version request.
status=$(record check "$program" "$printer" "$work")
[ "$status" = 0 ] || fail "check: status $status: $(cat "$work/check.out")"
conversation "$work/check.pcap" | grep -q ' 1b562300$' ||
    fail "tshark shows no version request (1b 56 23 00) in the capture of check"

# 1b. The virtual printer's own capture holds the same bulk conversation as the program's.
PV4410S_LOCK_DIR="$work" XDG_STATE_HOME="$work" "$printer" --capture "$work/printer-side.pcap" \
    --main-version 301B10 -- "$program" --capture "$work/host-side.pcap" check >/dev/null 2>&1 ||
    fail "check with both captures failed"
bulk() { conversation "$1" | grep "^'[SC]' 0x03 "; }
[ -n "$(bulk "$work/printer-side.pcap")" ] || fail "the printer's capture holds no bulk transfer"
diff <(bulk "$work/host-side.pcap") <(bulk "$work/printer-side.pcap") >"$work/sides.diff" ||
    fail "the printer's capture and the program's differ: $(head -n 4 "$work/sides.diff")"

# 2. Every committed capture replays as it was recorded.
for committed in "$here"/*.pcap; do
    name=$(basename "$committed" .pcap)
    [ "$name" = check ] || status=$(record "$name" "$program" "$printer" "$work")
    if ! diff <(conversation "$committed") <(conversation "$work/$name.pcap") \
        >"$work/$name.diff"; then
        fail "$name: the replay differs from its capture (first lines of the difference below);" \
            "if the change is intended, make the captures again with scripts/make-captures"
        head -n 8 "$work/$name.diff"
    fi
done

[ $failures -eq 0 ] && echo "captures: all replayed"
exit $((failures > 0))
