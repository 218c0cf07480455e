# A private display for scripts and tests, and the few window operations they need. Sourced by
# bash scripts:
#
#   . scripts/session.sh
#   trap session_stop EXIT
#   session_start x11|wayland [LOG_DIR]
#
# x11:     an Xvfb server with the openbox window manager; exports DISPLAY.
# wayland: the sway compositor on wlroots' headless backend, without Xwayland, so a program can
#          only connect as a native Wayland client; exports WAYLAND_DISPLAY and SWAYSOCK.
# Both export a private XDG_RUNTIME_DIR and QT_QPA_PLATFORM (xcb or wayland). session_start
# returns 1 with a message on standard error when the display does not come up within 30 s;
# LOG_DIR (default: the runtime folder) receives the servers' output. session_stop ends only the
# processes session_start started and removes the runtime folder.
#
# Windows are named by an id (X window id, or sway container id):
#   session_windows REGEX       "id title" of each visible window whose title matches REGEX
#   session_focus ID            raise and focus the window
#   session_key ID KEY          focus the window and press KEY (e.g. Return)
#   session_close ID            ask the window to close, as its close box does
#   session_shoot ID FILE       PNG of the window with its frame
#   session_shoot_screen FILE   PNG of the screen, cut to the windows on it
#   session_window_shell ID     how the window reached the display: x11, xdg_shell or xwayland

session_kind=""
session_runtime=""
session_server_dir=""
session_pids=()
session_log_dir=""

_session_fail() {
    echo "session: $*" >&2
    return 1
}

_session_wait() {  # seconds, pid that must stay alive, command...
    local tries=$(($1 * 10)) pid=$2 i
    shift 2
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

_session_start_x11() {
    local number_file=$session_runtime/display
    # Xvfb picks a free display number itself and writes it to the given descriptor. Without
    # -noreset it resets whenever its last client leaves, and a client connecting during a reset
    # (the window manager, right after a probe) is dropped.
    Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" \
        >"$session_log_dir/xvfb.log" 2>&1 &
    session_pids+=($!)
    _session_wait 30 $! test -s "$number_file" ||
        _session_fail "Xvfb did not start (see $session_log_dir/xvfb.log)" || return 1
    DISPLAY=:$(tr -d '\n' <"$number_file")
    export DISPLAY
    unset WAYLAND_DISPLAY
    openbox >"$session_log_dir/openbox.log" 2>&1 &
    session_pids+=($!)
    _session_wait 30 $! _session_x11_wm_ready ||
        _session_fail "openbox did not start on $DISPLAY: $(tail -n 3 "$session_log_dir/openbox.log")" ||
        return 1
    export QT_QPA_PLATFORM=xcb
}

_session_x11_wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

_session_start_wayland() {
    # The compositor's runtime folder, apart from the clients' (sway may run as another user).
    session_server_dir=$(mktemp -d)
    chmod 700 "$session_server_dir"
    local config=$session_server_dir/sway.config
    cat >"$config" <<'EOF'
xwayland disable
output HEADLESS-1 resolution 1024x768
EOF
    # sway refuses to run as root: there it runs as nobody, in a runtime folder it owns; root's
    # clients reach its sockets by their full paths.
    local as_user=()
    if [ "$(id -u)" -eq 0 ]; then
        chown nobody "$session_server_dir" "$config"
        as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi
    env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_DEBUG HOME="$session_server_dir" \
        XDG_RUNTIME_DIR="$session_server_dir" \
        WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        WLR_HEADLESS_OUTPUTS=1 "${as_user[@]}" sway -c "$config" \
        >"$session_log_dir/sway.log" 2>&1 &
    local sway_pid=$!
    session_pids+=("$sway_pid")
    _session_wait 30 $sway_pid _session_wayland_ready ||
        _session_fail "sway did not start (see $session_log_dir/sway.log)" || return 1
    unset DISPLAY
    export QT_QPA_PLATFORM=wayland
    # A virtual keyboard for the whole session: a client binds the seat's keyboard only when the
    # seat has one, so a key typed by a short-lived wtype alone would come before it is bound.
    if command -v wtype >/dev/null; then
        WAYLAND_DEBUG='' wtype -s 86400000 &
        session_pids+=($!)
    fi
}

_session_wayland_ready() {
    local socket="" ipc="" f
    for f in "$session_server_dir"/wayland-[0-9]*; do
        [ -S "$f" ] && socket=$f && break
    done
    for f in "$session_server_dir"/sway-ipc.*.sock; do
        [ -S "$f" ] && ipc=$f && break
    done
    [ -n "$socket" ] && [ -n "$ipc" ] || return 1
    export WAYLAND_DISPLAY=$socket SWAYSOCK=$ipc
    swaymsg -t get_version >/dev/null 2>&1
}

session_start() {
    session_kind=$1
    session_runtime=$(mktemp -d)
    chmod 700 "$session_runtime"
    export XDG_RUNTIME_DIR=$session_runtime
    session_log_dir=${2:-$session_runtime}
    mkdir -p "$session_log_dir"
    case $session_kind in
    x11) _session_start_x11 ;;
    wayland) _session_start_wayland ;;
    *) _session_fail "unknown display kind $session_kind" ;;
    esac
}

session_stop() {
    local pid
    for pid in "${session_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${session_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    session_pids=()
    [ -z "$session_runtime" ] || rm -rf "$session_runtime"
    [ -z "$session_server_dir" ] || rm -rf "$session_server_dir"
    session_runtime="" session_server_dir=""
}

# The sway tree's views as "id<TAB>title<TAB>shell<TAB>x,y wxh<TAB>visible" lines.
_session_views() {
    swaymsg -t get_tree 2>/dev/null | jq -r '.. | objects | select(.pid? != null and .type? != null)
        | [.id, .name, .shell, "\(.rect.x),\(.rect.y) \(.rect.width)x\(.rect.height)", .visible]
        | @tsv'
}

session_windows() {
    local id
    if [ "$session_kind" = wayland ]; then
        _session_views | awk -F'\t' -v re="$1" '$5 == "true" && $2 ~ re { print $1 " " $2 }'
        return 0
    fi
    for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
        echo "$id $(xdotool getwindowname "$id" 2>/dev/null)"
    done
}

session_focus() {
    if [ "$session_kind" = wayland ]; then
        swaymsg "[con_id=$1] focus" >/dev/null 2>&1 || true
    else
        xdotool windowactivate --sync "$1" >/dev/null 2>&1 || xdotool windowfocus --sync "$1" || true
    fi
}

session_key() {
    session_focus "$1"
    if [ "$session_kind" = wayland ]; then
        WAYLAND_DEBUG='' wtype -k "$2"
    else
        xdotool key --clearmodifiers "$2"
    fi
}

session_close() {
    if [ "$session_kind" = wayland ]; then
        swaymsg "[con_id=$1] kill" >/dev/null 2>&1 || true
    else
        session_key "$1" alt+F4
    fi
}

session_shoot() {
    if [ "$session_kind" = wayland ]; then
        local geometry
        geometry=$(_session_views | awk -F'\t' -v id="$1" '$1 == id { print $4 }')
        [ -z "$geometry" ] || WAYLAND_DEBUG='' grim -g "$geometry" "$2" 2>/dev/null || true
    else
        import -window "$1" -frame "$2" 2>/dev/null || true
    fi
}

session_shoot_screen() {
    local whole=$1.whole.png
    if [ "$session_kind" = wayland ]; then
        WAYLAND_DEBUG='' grim "$whole" 2>/dev/null || true
    else
        import -window root "$whole" 2>/dev/null || true
    fi
    [ ! -s "$whole" ] || /usr/bin/convert "$whole" -trim +repage "$1" 2>/dev/null || true
    rm -f "$whole"
}

session_window_shell() {
    if [ "$session_kind" = wayland ]; then
        _session_views | awk -F'\t' -v id="$1" '$1 == id { print $3 }'
    else
        echo x11
    fi
}
