#!/usr/bin/env bash
# The virtual build of pv4410s-update.exe under Wine, in real time, against the printers that
# PV4410S_VIRTUAL_PRINTER describes (about three minutes: a whole download and one whose printer
# never comes back): it lists the printer, updates a 301 printer, fails on a printer that never
# returns with the matching outcome and status, and its history holds both runs. The printers'
# trace (PV4410S_VIRTUAL_TRACE) shows what each received.
# Usage: windows_virtual_run.sh PROGRAM WORK_DIR
set -uo pipefail
program=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
# A Wine prefix of its own: the history goes to its %LOCALAPPDATA%, which holds these runs only.
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
commands() { grep -o '"event":"command","name":"[^"]*"' "$1" | sed 's/.*"name":"//; s/"$//' | paste -sd' '; }
run() { # NAME PRINTER_OPTIONS ARGS...: the program's status; output in NAME.out, trace in NAME.jsonl
    local name=$1 options=$2
    shift 2
    PV4410S_VIRTUAL_PRINTER=$options PV4410S_VIRTUAL_TRACE="$work/$name.jsonl" \
        wine "$program" "$@" >"$work/$name.out" 2>"$work/$name.err"
}

run list "" --json --capture "$(winepath -w "$work/list.pcap")" list
status=$?
[ $status -eq 0 ] || fail "list: status $status"
grep -q '"serial":"VIRTUAL-0001"' "$work/list.out" || fail "list: $(cat "$work/list.out")"
# The capture has Linux's format on Windows too: tshark shows the look in read-back mode.
[ "$(tshark -r "$work/list.pcap" -T fields -e usb.capdata 2>/dev/null | grep . | paste -sd' ' | cut -d' ' -f1-3)" = \
    "1b535a1e 1b562300 232e000000003330314231303730354131300000000000000000000000000000000000000137013e0000000000000000" ] ||
    fail "list: the capture does not show the look: $(tshark -r "$work/list.pcap" 2>&1 | head -n 3)"

run update "--main-version 301B10" --json update --yes
status=$?
[ $status -eq 0 ] || fail "update: status $status, want 0"
grep -q '"outcome":"success"' "$work/update.out" || fail "update: $(cat "$work/update.out")"
# The first version request asks whether the printer is up to date already.
want="readback-on version-request readback-off initialise version-request erase p transfer p erase t transfer t reset readback-on version-request readback-off"
[ "$(commands "$work/update.jsonl")" = "$want" ] || fail "update: commands $(commands "$work/update.jsonl")"

run lost "--main-version 503C10 --fault no-return" --json update --yes
status=$?
[ $status -eq 9 ] || fail "no-return: status $status, want 9"
grep -q '"outcome":"read-back-failed"' "$work/lost.out" || fail "no-return: $(cat "$work/lost.out")"

run history "" --json history
grep -q '"outcome":"success"' "$work/history.out" || fail "history lacks the success: $(cat "$work/history.out")"
grep -q '"outcome":"read-back-failed"' "$work/history.out" || fail "history lacks the failure"
[ "$(grep -o '"outcome":' "$work/history.out" | wc -l)" -eq 2 ] || fail "history: not two runs"

[ $failures -eq 0 ] && echo "windows virtual run: all passed"
exit $((failures > 0))
