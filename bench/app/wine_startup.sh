#!/usr/bin/env bash
# Start-up of the Windows window program under Wine: from the `wine` command to the main window
# being visible on a private Xvfb screen with openbox (polled every 10 ms with xdotool), against a
# virtual 503 printer inside the program (the virtual build), with a persistent wineserver and a
# warm prefix, as scripts/run-demo --windows runs it. Prints each run and the median.
# Usage: bench/app/wine_startup.sh [BUILD_DIR (default build/windows-virtual)] [RUNS (default 20)]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-$root/build/windows-virtual}
runs=${2:-20}
exe=$bin/src/app/pv4410s-updater.exe
[ -f "$exe" ] || { echo "no program at $exe (build the windows-virtual preset)" >&2; exit 2; }
. "$root/scripts/session.sh"
trap 'wineserver -k 2>/dev/null || true; session_stop' EXIT
session_start x11
export WINEPREFIX=${PV4410S_WINEPREFIX:-$bin/wine-demo} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" PV4410S_VIRTUAL_PRINTER="--main-version 503C10"
mkdir -p "$WINEPREFIX"
wineserver -p
[ -f "$WINEPREFIX/system.reg" ] || wine wineboot -i </dev/null >/dev/null 2>&1
title='^Software Upgrade Application for PV4410S$'
times=()
for run in $(seq -2 "$runs"); do  # two warm-up runs
    start=$(date +%s%N)
    wine "$exe" 2>/dev/null &
    app=$!
    id=""
    for _ in $(seq 3000); do
        id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && break
        sleep 0.01
    done
    [ -n "$id" ] || { echo "no main window" >&2; exit 1; }
    ms=$((($(date +%s%N) - start) / 1000000))
    [ "$run" -le 0 ] || { times+=("$ms"); echo "run $run: $ms ms"; }
    xdotool windowactivate --sync "$id" key --clearmodifiers alt+F4 >/dev/null 2>&1 || true
    for _ in $(seq 100); do kill -0 $app 2>/dev/null || break; sleep 0.05; done
    kill $app 2>/dev/null || true
    wait $app 2>/dev/null || true
done
printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END {
    m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "start to main window under Wine: median %d ms, min %d ms, max %d ms (%d runs)\n", m, t[1], t[NR], NR }'
