#!/usr/bin/env bash
# Screenshots of the main window, the About box and a progress window on a private display with
# a window manager (scripts/session.sh), so that captions, frames and every text can be checked by
# eye.
# Usage: screenshots.sh <ui_showcase binary> <output folder> [x11|wayland]
set -eu
showcase=$1
out=$2
kind=${3:-x11}
mkdir -p "$out"
. "$(dirname "$0")/../../scripts/session.sh"
trap session_stop EXIT
session_start "$kind" "$out/session"

shoot() {  # window kind, window title, file[, file of the whole screen]
    "$showcase" "$1" &
    local app=$! id=""
    for _ in $(seq 100); do
        id=$(session_windows "^$2\$" | head -n 1 | cut -d' ' -f1)
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "no window \"$2\""; kill "$app"; exit 1; }
    sleep 0.5
    session_shoot "$id" "$out/$3"
    if [ $# -ge 4 ]; then
        session_shoot_screen "$out/$4"
    fi
    kill "$app"
    wait "$app" 2>/dev/null || true
    [ -s "$out/$3" ] || { echo "no screenshot $3"; exit 1; }
}

shoot main "Software Upgrade Application for PV4410S" main-window.png
shoot about "About" about-box.png
shoot progress "Upgrade" progress-window.png screen-during-progress.png
echo "screenshots in $out"
