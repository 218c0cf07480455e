#!/usr/bin/env bash
# Runs update-printers.yml for real with Debian's Ansible against an inventory of localhost
# (connection local), where pv4410s-update runs under the virtual printer with two printers: a
# "503" that takes its update, and one whose version is not in the version map. The play must
# report one success and one failure with their messages, and fail the host.
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
prefix=$(printf '"%s",' "$printer" --trace-json "$work/trace.jsonl" \
    --printer main=503C10,serial=VIRTUAL-0001 --printer main=999Z10,serial=VIRTUAL-0002 --)
ansible-playbook -i "$work/inventory.ini" "$here/update-printers.yml" \
    -e "pv4410s_update=$program" -e "{\"pv4410s_command_prefix\": [${prefix%,}]}" \
    >"$work/play.log" 2>&1
status=$?
cat "$work/play.log"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ $status -eq 2 ] || fail "ansible-playbook exit status $status, want 2 (a host failed)"
grep -Eq '"localhost +VIRTUAL-0001 +success +Success! This F/W was downloaded properly on printer\."' \
    "$work/play.log" || fail "no success row for VIRTUAL-0001"
grep -Eq '"localhost +VIRTUAL-0002 +not-applicable +This program is not applicable on this printer\. Main firm ware : 999Z10 / [0-9A-F]{4}"' \
    "$work/play.log" || fail "no failure row for VIRTUAL-0002"
grep -Eq '^localhost +: ok=3 .*failed=1 ' "$work/play.log" || fail "the host was not failed"
[ $failures -eq 0 ] && echo "ansible test: passed"
exit $((failures > 0))
