#!/usr/bin/env bash
# Runs update-printers.yml and its pv4410s_update module for real with Debian's Ansible against
# localhost (connection local), where pv4410s-update runs under the virtual printer with three
# printers: VIRTUAL-0001 already runs the built-in firmware, VIRTUAL-0002 takes its update, and
# VIRTUAL-0003 is held by another program. The printers keep their flash between runs (--state),
# as real printers do:
#   --check     reports VIRTUAL-0002 as to be updated and sends nothing (the trace);
#   1st run     changed (VIRTUAL-0002 updated), VIRTUAL-0003 failed with its message;
#   2nd run     VIRTUAL-0003 freed: changed, only VIRTUAL-0003 updated;
#   3rd run     changed=0, nothing sent.
# The updates run with --jobs 3: one printer's failure does not disturb the others.
# Usage: test.sh PROGRAM VIRTUAL_PRINTER WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 printer=$2 work=$3
command -v ansible-playbook >/dev/null || { echo "FAIL: ansible-playbook missing (scripts/bootstrap installs it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
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
    for p in VIRTUAL-0001 VIRTUAL-0002 VIRTUAL-0003; do
        echo "$p: $(grep "\"printer\":\"$p\"" "$work/$1.jsonl" | grep -o '"event":"command","name":"[^"]*"' |
            sed 's/.*"name":"//; s/"$//' | paste -sd' ')"
    done
}
# play NAME THIRD_PRINTER_FAULT [ansible-playbook options]: one run; its log in WORK/NAME.log.
play() {
    local name=$1 third=$2
    shift 2
    local prefix
    prefix=$(printf '"%s",' "$printer" --state "$work/flash.state" --trace-json "$work/$name.jsonl" \
        --printer main=301F11,table=705B11 --printer main=503C10 --printer "main=503C10$third" --)
    ansible-playbook -i "$work/inventory.ini" "$here/update-printers.yml" "$@" \
        -e "pv4410s_update=$program" -e pv4410s_jobs=3 \
        -e "{\"pv4410s_command_prefix\": [${prefix%,}]}" >"$work/$name.log" 2>&1
    status=$?
    echo "===== $name (exit status $status)"
    cat "$work/$name.log"
    commands "$name"
}
row() { grep -Eq "\"localhost +$1 +$2 +$3" "$work/$4.log" || fail "$4: no row \"$1 $2 $3\""; }
recap() { grep -Eq "^localhost +: ok=[0-9]+ +changed=$1 .*failed=$2 " "$work/$3.log" || fail "$3: recap is not changed=$1 failed=$2"; }
busy=,fault=busy

play check "$busy" --check
[ $status -eq 2 ] || fail "check: exit status $status, want 2 (a printer failed)"
row VIRTUAL-0001 up-to-date "" check
row VIRTUAL-0002 would-update "" check
row VIRTUAL-0003 not-connected "Printer is not connected" check
recap 1 1 check
! commands check | grep -Eq 'initialise|erase|transfer|reset' || fail "check: commands sent: $(commands check)"

play first "$busy"
[ $status -eq 2 ] || fail "first: exit status $status, want 2 (a printer failed)"
row VIRTUAL-0001 up-to-date "Up to date. The printer already runs this F/W; nothing was sent." first
row VIRTUAL-0002 success "Success! This F/W was downloaded properly on printer." first
row VIRTUAL-0003 not-connected "Printer is not connected." first
recap 1 1 first
grep -q 'VIRTUAL-0003: not-connected (Printer is not connected.)' "$work/first.log" ||
    fail "first: the failure's message is not reported"
[ "$(commands first | sed -n 1p)" = "VIRTUAL-0001: version-request" ] ||
    fail "first: the up-to-date printer received more than the version request: $(commands first)"

play second ""
[ $status -eq 0 ] || fail "second: exit status $status, want 0"
row VIRTUAL-0001 up-to-date "" second
row VIRTUAL-0002 up-to-date "" second
row VIRTUAL-0003 success "" second
recap 1 0 second

play third ""
[ $status -eq 0 ] || fail "third: exit status $status, want 0"
recap 0 0 third
! commands third | grep -Eq 'initialise|erase|transfer|reset' || fail "third: commands sent: $(commands third)"

[ $failures -eq 0 ] && echo "ansible test: passed"
exit $((failures > 0))
