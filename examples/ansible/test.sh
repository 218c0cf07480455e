#!/usr/bin/env bash
# Runs update-printers.yml and its pv4410s_update module for real with Debian's Ansible against
# localhost (connection local), where pv4410s-update runs under the virtual printer with three
# printers: VIRTUAL-0001 already runs the built-in firmware, VIRTUAL-0002 takes its update, and
# VIRTUAL-0003 is held by another program; in the first run a fourth, VIRTUAL-0004, is unplugged
# in the middle of its image and stays away after. The printers keep their flash between runs
# (--state), as real printers do:
#   --check     reports VIRTUAL-0002 and VIRTUAL-0004 as to be updated, sends nothing (the trace);
#   1st run     changed (VIRTUAL-0002 updated), VIRTUAL-0003 and VIRTUAL-0004 failed with their
#               messages;
#   2nd run     VIRTUAL-0003 freed: changed, only VIRTUAL-0003 updated;
#   3rd run     changed=0, nothing sent.
# The updates run with --jobs 4: the printers that fail or go away disturb none of the others.
# Usage: test.sh PROGRAM VIRTUAL_PRINTER WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 printer=$2 work=$3
command -v ansible-playbook >/dev/null || { echo "FAIL: ansible-playbook missing (scripts/bootstrap installs it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
# The module reads one event per line feed: a raw U+2028 or U+0085 in a printer's text (as a
# program without escapes would print it) neither splits nor loses its event.
/usr/bin/python3 - "$here/collections/ansible_collections/pv4410s/fleet/plugins/modules" <<'PY' ||
import sys
sys.path.insert(0, sys.argv[1])
from pv4410s_update import events
found = events('{"event":"printer","serial":"A\u2028B\u0085C"}\n{"event":"end"}\n')
assert [e["event"] for e in found] == ["printer", "end"], found
PY
    { echo "FAIL: the module splits lines at other line ends than a line feed"; exit 1; }
cat >"$work/inventory.ini" <<INI
[printers]
localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3
INI
export ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp ANSIBLE_NOCOLOR=1
export ANSIBLE_RETRY_FILES_ENABLED=0 PV4410S_LOCK_DIR=$work XDG_STATE_HOME=$work
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The commands each printer received in a run: "VIRTUAL-0002: version-request initialise ...".
commands() {
    for p in VIRTUAL-0001 VIRTUAL-0002 VIRTUAL-0003 VIRTUAL-0004; do
        echo "$p: $(grep "\"printer\":\"$p\"" "$work/$1.jsonl" | grep -o '"event":"command","name":"[^"]*"' |
            sed 's/.*"name":"//; s/"$//' | paste -sd' ')"
    done
}
# play NAME "MORE PRINTERS" [ansible-playbook options]: one run; its log in WORK/NAME.log.
play() {
    local name=$1 more=$2
    shift 2
    local prefix
    # shellcheck disable=SC2086 # the printers' options, word by word
    prefix=$(printf '"%s",' "$printer" --state "$work/flash.state" --trace-json "$work/$name.jsonl" \
        --printer main=301F11,table=705B11 --printer main=503C10 $more --)
    ansible-playbook -i "$work/inventory.ini" "$here/update-printers.yml" "$@" \
        -e "pv4410s_update=$program" -e pv4410s_jobs=4 \
        -e "{\"pv4410s_command_prefix\": [${prefix%,}]}" >"$work/$name.log" 2>&1
    status=$?
    echo "===== $name (exit status $status)"
    cat "$work/$name.log"
    commands "$name"
}
row() { grep -Eq "\"localhost +$1 +$2 +$3" "$work/$4.log" || fail "$4: no row \"$1 $2 $3\""; }
recap() { grep -Eq "^localhost +: ok=[0-9]+ +changed=$1 .*failed=$2 " "$work/$3.log" || fail "$3: recap is not changed=$1 failed=$2"; }
faulty="--printer main=503C10,fault=busy --printer main=503C10,fault=disconnect-at=3"
freed="--printer main=503C10"

play check "$faulty" --check
[ $status -eq 2 ] || fail "check: exit status $status, want 2 (a printer failed)"
row VIRTUAL-0001 up-to-date "" check
row VIRTUAL-0002 would-update "" check
row VIRTUAL-0003 printer-busy "The printer is busy" check
row VIRTUAL-0004 would-update "" check
recap 1 1 check
! commands check | grep -Eq 'initialise|erase|transfer|reset' || fail "check: commands sent: $(commands check)"

play first "$faulty"
[ $status -eq 2 ] || fail "first: exit status $status, want 2 (a printer failed)"
row VIRTUAL-0001 up-to-date "Up to date. The printer already runs this F/W; nothing was sent." first
row VIRTUAL-0002 success "Success! This F/W was downloaded properly on printer." first
row VIRTUAL-0003 printer-busy "The printer is busy" first
row VIRTUAL-0004 transfer-failed "" first
recap 1 1 first
grep -q 'VIRTUAL-0003: printer-busy (The printer is busy' "$work/first.log" ||
    fail "first: the failure's message is not reported"
[ "$(commands first | sed -n 1p)" = "VIRTUAL-0001: readback-on version-request readback-off" ] ||
    fail "first: the up-to-date printer received more than the read-back look: $(commands first)"

play second "$freed"
[ $status -eq 0 ] || fail "second: exit status $status, want 0"
row VIRTUAL-0001 up-to-date "" second
row VIRTUAL-0002 up-to-date "" second
row VIRTUAL-0003 success "" second
recap 1 0 second

play third "$freed"
[ $status -eq 0 ] || fail "third: exit status $status, want 0"
recap 0 0 third
! commands third | grep -Eq 'initialise|erase|transfer|reset' || fail "third: commands sent: $(commands third)"

[ $failures -eq 0 ] && echo "ansible test: passed"
exit $((failures > 0))
