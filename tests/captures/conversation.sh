#!/usr/bin/env bash
# Shared by tests/captures/replay_test.sh and scripts/make-captures.
#
# conversation FILE: the USB conversation a capture holds, one URB event a line, without what
# changes from run to run (time stamps, URB ids, bus addresses): kind (S submission, C
# completion), transfer type, endpoint, length, moved, status, request, data.
conversation() {
    tshark -r "$1" -T fields -E separator=' ' -e usb.urb_type -e usb.transfer_type \
        -e usb.endpoint_address -e usb.urb_len -e usb.data_len -e usb.urb_status \
        -e usb.setup.bRequest -e usb.capdata 2>/dev/null
}

# record NAME PROGRAM VIRTUAL_PRINTER WORK_DIR: runs the capture's command (NAME.args: the
# virtual printer's options on its first line, the program's arguments on its second) against a
# fresh virtual printer, capturing to WORK_DIR/NAME.pcap; prints the program's exit status.
record() {
    local name=$1 program=$2 printer=$3 work=$4 here
    here=$(dirname "${BASH_SOURCE[0]}")
    local -a printer_args program_args
    read -r -a printer_args < <(sed -n 1p "$here/$name.args")
    read -r -a program_args < <(sed -n 2p "$here/$name.args")
    mkdir -p "$work/$name.state"
    PV4410S_LOCK_DIR="$work/$name.state" XDG_STATE_HOME="$work/$name.state" \
        "$printer" "${printer_args[@]}" -- "$program" --capture "$work/$name.pcap" \
        "${program_args[@]}" >"$work/$name.out" 2>&1
    echo $?
}
