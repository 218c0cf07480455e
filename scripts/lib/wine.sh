# Sourced by scripts that build or test the `windows` preset: one fresh Wine prefix per run
# (build/windows/wine, the prefix CMakePresets.json gives the windows preset) and a persistent
# wineserver, so that each program Wine starts costs a fraction of a second. The prefix is made
# before anything else runs: Wine's background services then hold no build or test output pipe
# (a make or CTest would wait for them until its time-out).

wine_session_start() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wine wineboot -i </dev/null >/dev/null 2>&1
}

# Ends the wineserver of the prefix and every Wine program still running in it.
wine_session_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
