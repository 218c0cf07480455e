# The timing of a successful download from the printer's trace (pv4410s-virtual-printer
# --trace-json): given the wall time from the start of the run to its final message (-v wall=MS),
# it prints the procedure's fixed waits, the time the printer itself took to take in the image
# streams and to restart beyond the waits after the reset, and what is left: the overhead.
# Used by scripts/run-demo (the windows) and scripts/perf-report (the command line).
function num(key,   m) {
    if (match($0, "\"" key "\":[0-9]+")) return substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 3) + 0
    return -1
}
function text(key) {
    if (match($0, "\"" key "\":\"[^\"]*\"")) return substr($0, RSTART + length(key) + 4, RLENGTH - length(key) - 5)
    return ""
}
{
    t = num("t_ms"); e = text("event"); n = text("name")
    if (e == "command" && n == "initialise") initialised = 1
    # The command line's look at the versions before the initialise (not with --reinstall).
    if (e == "command" && n == "version-request" && !initialised) looks++
    if (e == "command" && n ~ /^transfer/) transfer_cmd = t
    if (e == "command" && n ~ /^erase/) erases++
    if (e == "verdict") streams += t - transfer_cmd - 100
    if (e == "command" && n == "reset") reset = t
    if (e == "back" && reset > 0) back = t
}
END {
    # initialise 5 s, version reply 5 s + 0.5 s, per image erase pause 0.1 s + erase wait
    # (15 s main, 30 s table) + transfer pause 0.1 s, reset 2 s + 8 s, read back 5 s + 0.5 s,
    # and 5 s for each version reply awaited before the initialise
    fixed = 5000 + 5500 + 15200 + 10000 + 5500 + 5000 * looks
    if (erases > 1) fixed += 30200
    late = back - reset - 10000
    restart = late > 0 ? 1000 * int((late + 999) / 1000) : 0
    overhead = wall - fixed - streams - restart
    printf "wall_s=%.3f\nfixed_waits_s=%.3f\nimage_streams_s=%.3f\n", wall / 1000, fixed / 1000, streams / 1000
    printf "restart_beyond_waits_s=%.3f\noverhead_s=%.3f\n", restart / 1000, overhead / 1000
}
