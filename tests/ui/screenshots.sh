#!/bin/sh
# Screenshots of the main window, the About box and a progress window under Xvfb with a small
# window manager, so that captions, frames and every text can be checked by eye.
# Usage: screenshots.sh <ui_showcase binary> <output folder>
set -eu
showcase=$1
out=$2
mkdir -p "$out"
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$runtime"' EXIT
export DISPLAY="$display"
for _ in 1 2 3 4 5 6 7 8 9 10; do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.3
done
openbox >/dev/null 2>&1 &
wm=$!
sleep 1

shoot() {  # window kind, window title, file[, file of the whole screen]
    QT_QPA_PLATFORM=xcb "$showcase" "$1" &
    app=$!
    sleep 2
    id=$(xdotool search --sync --name "^$2\$" | head -n 1)
    import -window "$id" -frame "$out/$3"
    if [ $# -ge 4 ]; then
        import -window root "$out/$4"
    fi
    kill "$app"
    wait "$app" 2>/dev/null || true
}

shoot main "Software Upgrade Application for PV4410S" main-window.png
shoot about "About" about-box.png
shoot progress "Upgrade" progress-window.png screen-during-progress.png
kill "$wm" 2>/dev/null || true
echo "screenshots in $out"
