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
  wine_display_start
  wineserver -p
  wine wineboot -i </dev/null >/dev/null 2>&1
}

# Ends the wineserver of the prefix and every Wine program still running in it.
wine_session_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
  if [ -n "${wine_xvfb_pid:-}" ]; then
    kill "$wine_xvfb_pid" 2>/dev/null || true
    wait "$wine_xvfb_pid" 2>/dev/null || true
    wine_xvfb_pid=""
    unset DISPLAY
  fi
}

# A program that makes a window (the command line's hidden session window, the dialogs under
# test) needs a display under Wine: a private Xvfb one, unless there is a display already.
wine_xvfb_pid=""
wine_display_start() {
  [ -z "${DISPLAY:-}" ] || return 0
  command -v Xvfb >/dev/null || return 0
  local number="$WINEPREFIX.display"
  rm -f "$number"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$number" 2>/dev/null &
  wine_xvfb_pid=$!
  local _
  for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.05; done
  if [ -s "$number" ]; then
    export DISPLAY=":$(cat "$number")"
  else
    kill "$wine_xvfb_pid" 2>/dev/null || true
    wine_xvfb_pid=""
  fi
}
