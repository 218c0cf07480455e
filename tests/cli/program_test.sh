#!/usr/bin/env bash
# The pv4410s-update program itself, in real time under the virtual printer: it loads no Qt
# library, runs with no display, refuses to update without --yes when standard input is not a
# terminal, ends at once on a signal outside a download, on a signal during a download finishes
# the image under way (saying so once), resets the printer and exits with the "interrupted"
# status, names the printer on every line when it updates several at once, and keeps its
# standard streams to themselves.
# Usage: program_test.sh PROGRAM VIRTUAL_PRINTER WORK_DIR
set -uo pipefail
program=$1 printer=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export PV4410S_LOCK_DIR=$work XDG_STATE_HOME=$work
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
# Where the virtual printer runs a shell, the preload it chose is the shell's: an ASan-built
# program started from there finds its runtime behind it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
commands() { grep -o '"event":"command","name":"[^"]*"' "$1" | sed 's/.*"name":"//; s/"$//' | paste -sd' '; }

# 1. No Qt: neither linked nor loaded while it talks to a printer.
if ldd "$program" | grep -i qt; then fail "linked against Qt"; fi
# A printer that never replies keeps the program at its version reply (at most 5 s) for a look.
"$printer" --fault stall-read -- sh -c "\"$program\" list >/dev/null 2>&1 & p=\$!; sleep 1; grep -ci 'libQt' /proc/\$p/maps; wait \$p" \
    >"$work/maps.txt" 2>/dev/null
[ "$(head -n 1 "$work/maps.txt")" = 0 ] || fail "Qt libraries mapped: $(cat "$work/maps.txt")"

# 1b. Standard streams: one the program was started without is the null device, never a file it
# opens later (the printer's lock file here); a failed write to standard output is an error.
"$printer" --fault stall-read -- sh -c "\"$program\" list >/dev/null 2>&- & p=\$!; sleep 1; readlink /proc/\$p/fd/2; wait \$p" \
    >"$work/fd2.txt" 2>/dev/null
[ "$(head -n 1 "$work/fd2.txt")" = /dev/null ] || fail "standard error closed: fd 2 is $(cat "$work/fd2.txt")"
"$program" --help >/dev/full 2>"$work/full.txt"
status=$?
[ $status -ne 0 ] || fail "--help to /dev/full: status 0"
grep -q 'cannot write to standard output' "$work/full.txt" || fail "--help to /dev/full: no reason given"

# 2. update without --yes and no terminal: usage status, nothing sent.
"$printer" --trace-json "$work/refuse.jsonl" -- "$program" update </dev/null >"$work/refuse.out" 2>&1
status=$?
[ $status -eq 2 ] || fail "update without --yes: status $status, want 2"
grep -q 'without --yes' "$work/refuse.out" || fail "no reason given: $(cat "$work/refuse.out")"
[ -z "$(commands "$work/refuse.jsonl")" ] || fail "commands sent: $(commands "$work/refuse.jsonl")"

# 3. A signal outside a download ends the program, with the printer's kernel driver bound again:
# at once, or, while it waits for a version reply that does not come, when that read gives up
# (within its 5 s).
for command in list check; do
    "$printer" --fault stall-read --trace-json "$work/$command-term.jsonl" -- sh -c "\"$program\" $command >/dev/null 2>&1 & \
        p=\$!; sleep 1; kill -TERM \$p; s=\$(date +%s%N); wait \$p; r=\$?; \
        echo \$r \$(( (\$(date +%s%N) - s) / 1000000 ))" >"$work/term.txt"
    read -r status ms <"$work/term.txt"
    [ "$status" = 130 ] || fail "SIGTERM during $command: status $status, want 130"
    [ "${ms:-9999}" -lt 4500 ] || fail "SIGTERM during $command: ended after $ms ms"
    last=$(grep -o '"event":"driver-[a-z]*"' "$work/$command-term.jsonl" | tail -n 1)
    [ "$last" = '"event":"driver-attach"' ] || fail "SIGTERM during $command: driver left detached"
done

# 4. SIGINT twice in the erase wait of a download: the erase wait, the transfer and the image run
# to their end, then the printer is reset; status 130; the note is printed once.
serial=$("$printer" -- "$program" --json list 2>/dev/null | jq -r 'select(.event == "printer") | .serial')
if [[ $serial != VIRTUAL-* ]] && "$program" --version | grep -q Demonstration; then
    echo "skipped: interrupt during a download (the virtual printer's serial \"$serial\" is not VIRTUAL-...)"
else
    "$printer" --main-version 503C10 --trace-json "$work/interrupt.jsonl" -- sh -c \
        "\"$program\" --json update --yes >\"$work/interrupt.out\" 2>&1 & p=\$!; \
         for i in \$(seq 300); do grep -q '\"erase p\"' \"$work/interrupt.jsonl\" && break; sleep 0.1; done; \
         sleep 1; kill -INT \$p; sleep 1; kill -INT \$p; wait \$p"
    status=$?
    [ $status -eq 130 ] || fail "SIGINT during the erase wait: status $status, want 130"
    want="readback-on version-request readback-off initialise version-request erase p transfer p reset"
    [ "$(commands "$work/interrupt.jsonl")" = "$want" ] ||
        fail "commands: $(commands "$work/interrupt.jsonl"), want $want"
    grep -q '"outcome":"interrupted"' "$work/interrupt.out" || fail "no interrupted outcome"
    grep -q '"event":"verdict","area":"p","result":"valid"' "$work/interrupt.jsonl" ||
        fail "the image did not arrive whole: $(grep verdict "$work/interrupt.jsonl")"
    [ "$(grep -c 'finishing the images in progress (at most about 2 minutes' \
        "$work/interrupt.out")" = 1 ] || fail "the note, once: $(cat "$work/interrupt.out")"
fi

# 5. Several printers at once, in text: every line of a printer's run starts with the printer;
#    the summary covers both, and the status is that of the first printer that failed.
"$printer" --printer main=301B10,fault=id-no-model --printer main=999Z10,fault=refuse=version-request \
    -- "$program" update --all --jobs 2 --yes >"$work/jobs.out" 2>&1
status=$?
[ $status -eq 4 ] || fail "update --all --jobs 2: status $status, want 4 (wrong model, the first printer)"
grep -q '^VIRTUAL-0001: VIRTUAL-0001 at 1-1: wrong-model (exit status 4)$' "$work/jobs.out" ||
    fail "no outcome line for VIRTUAL-0001: $(cat "$work/jobs.out")"
grep -q '^VIRTUAL-0002: VIRTUAL-0002 at 1-2: version-information-failed (exit status 6)$' "$work/jobs.out" ||
    fail "no outcome line for VIRTUAL-0002: $(cat "$work/jobs.out")"
stray=$(grep -Ev '^(VIRTUAL-000[12]: |pv4410s-update: VIRTUAL-000[12]: |0 of 2 printers updated, 0 up to date, 2 failed$)' "$work/jobs.out")
[ -z "$stray" ] || fail "lines without their printer: $stray"

[ $failures -eq 0 ] && echo "program test: all passed"
exit $((failures > 0))
