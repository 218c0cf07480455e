#!/usr/bin/env bash
# The program as a native Wayland client: scripts/run-demo --wayland runs it on a private sway
# compositor that has no Xwayland, against a virtual "503" printer, with the client's side of
# the Wayland protocol logged (WAYLAND_DEBUG=client, into run.log). Checks that the main window
# came up through xdg-shell with its title, that "DownLoad" (typed with wtype) reached
# "Success!", that each progress window and the final box were made transient for the main
# window (xdg_toplevel.set_parent, which keeps them over it where a client cannot place
# windows), and that the program ended with status 0.
# Usage: wayland_run.sh RUN_DEMO BUILD_DIR OUT_DIR
# Exit status 77 (skipped) when the compositor or its tools are not installed.
set -uo pipefail
run_demo=$1 build=$2 out=$3

for tool in sway swaymsg wtype grim jq; do
    command -v $tool >/dev/null || { echo "SKIP: $tool not installed (scripts/bootstrap)"; exit 77; }
done

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
result() { sed -n "s/^$1=//p" "$out/result.txt"; }

rm -rf "$out"
status=0
WAYLAND_DEBUG=client "$run_demo" --wayland --bin "$build" --out "$out" --family 503 || status=$?
[ -f "$out/result.txt" ] || { echo "FAIL: no result.txt (run-demo status $status)"; exit 1; }
cat "$out/result.txt"
[ $status -eq 0 ] || fail "run-demo reported failure (status $status)"
[ "$(result display)" = wayland ] || fail "not run on the Wayland compositor"
[ "$(result main_window_shell)" = xdg_shell ] || fail "the main window is not an xdg-shell window"
[ "$(result outcome)" = "Success!" ] || fail "outcome is not Success!"
[ "$(result program_status)" = 0 ] || fail "the program did not end with status 0"

# Each titled toplevel with the toplevel it was made transient for, as "title<TAB>parent title".
# Object ids are reused after a window goes, so the state is taken when the title is set.
log=$out/run.log
grep -q 'xdg_wm_base' "$log" || fail "no xdg_wm_base in the protocol log (not a Wayland client?)"
awk '
    match($0, /get_toplevel\(new id xdg_toplevel@[0-9]+/) {
        id = substr($0, RSTART + 29, RLENGTH - 29); parent[id] = ""
    }
    match($0, /-> xdg_toplevel@[0-9]+\.set_parent\(/) {
        id = substr($0, RSTART + 16, RLENGTH - 28)
        parent[id] = match($0, /set_parent\(xdg_toplevel@[0-9]+\)/) ? substr($0, RSTART + 24, RLENGTH - 25) : ""
    }
    match($0, /-> xdg_toplevel@[0-9]+\.set_title\(".*"\)/) {
        line = substr($0, RSTART + 16, RLENGTH - 16)
        id = substr(line, 1, index(line, ".") - 1)
        t = substr(line, index(line, "(\"") + 2); t = substr(t, 1, length(t) - 2)
        title[id] = t
        print t "\t" (parent[id] == "" ? "" : title[parent[id]])
    }' "$log" | sort -u >"$out/toplevels.txt"
echo "toplevels (title, transient for):"
sed 's/^/  /' "$out/toplevels.txt"

main='Software Upgrade Application for PV4410S'
grep -q -x -F "$main	" "$out/toplevels.txt" || fail "no toplevel titled \"$main\" without a parent"
for window in 'Initializing...' 'Version Check...' 'Upgrade' 'Success!'; do
    grep -q -x -F "$window	$main" "$out/toplevels.txt" ||
        fail "\"$window\" is not transient for the main window"
done
for shot in main-window.png upgrade-window.png result-box.png; do
    [ -s "$out/$shot" ] || fail "no screenshot $shot"
done

[ $failures -eq 0 ] || exit 1
echo "PASS"
