#!/usr/bin/env bash
# The watcher's icon in Wine's notification area, on a virtual display (xvfb-run) in a fresh
# prefix on a private network, as Wine's own traces show it: shown in the amber state while
# another program holds the record, then its state as its tooltip once the record is free, a
# balloon when the connection drops and another when it is back, the last quality window's figures
# in it, changed when the log cannot be written, one report for a double-click, the watching going
# on while its menu is open, and removed by --stop with the menu still open.
# usage: tray.sh WINE64 WATCHER MONITOR SHARE_CHECK
set -u
wine=$1
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run is missing (Debian's xvfb)"; exit 77; }
source "$(dirname "$0")/../e2e/isolation.sh"
if [ "${5-}" != --inside ]; then # the whole run in the private network namespace
    rm -rf "$scratch"
    exec "${isolate[@]}" xvfb-run -a bash "$0" "$@" --inside
fi
watcher=$2
source "$(dirname "$0")/../watch/watch_support.sh"
ip link set lo up 2>/dev/null
# A default route, where the namespace allows one, to a gateway that is this machine's own address,
# and the anycast addresses on loopback: the sampler's echoes are answered, and the diagnosis traces a
# path, through Windows' own ICMP calls as Wine makes them.
routed=false
ip link add d0 type veth peer name d1 2>/dev/null && ip addr add 10.9.0.2/24 dev d0 &&
    ip addr add 10.9.0.1/32 dev d1 && ip addr add 1.1.1.1/32 dev lo && ip addr add 9.9.9.9/32 dev lo &&
    ip link set d0 up && ip link set d1 up && ip route add default via 10.9.0.1 && routed=true
export WINEPREFIX=$scratch/prefix WINEDEBUG=+systray,+tooltips WINEDLLOVERRIDES='mscoree,mshtml=' \
    TMPDIR=$scratch HOME=$scratch
server=$(dirname "$wine")/wineserver
trap '"$server" -k 2>/dev/null; rm -rf "$scratch"' EXIT
cp "$watcher" "$3" "$4" "$scratch/program/"
traces=$scratch/traces
# A failure shows, beside its own words, what Wine said apart from its traces and what still runs.
fail() {
    echo "FAIL: $*" >&2
    grep -av ':trace:' "$traces" | tail -15 >&2
    pgrep -fa "$(basename "$scratch")" >&2
    exit 1
}
# await_trace TEXT: whether Wine's traces gain a line holding TEXT within a minute.
await_trace() {
    for _ in $(seq 1200); do grep -qF -- "$1" "$traces" && return 0; sleep 0.05; done
    return 1
}

# The record held, writes denied, by another program as monitoring starts: the amber state says
# so, and the watcher keeps trying.
: >"$record"
# Wine's notification area starts with the first program of the prefix, and traces to its output.
(cd "$scratch/log" && exec "$wine" "$scratch/program/share_check.exe" hold-deny-write \
    connectivityWatch.txt held release 2>>"$traces") &
for _ in $(seq 600); do [ -e "$scratch/log/held" ] && break; sleep 0.05; done
(cd "$scratch/log" && exec "$wine" "$scratch/program/connectivity-watch.exe" --gap 8 --sample 1 \
    --window 10 2>>"$traces") &
await_trace 'add_icon id=0x1' && await_trace 'add text L"Connectivity monitor: the record connectivityWatch.txt cannot be written: ' ||
    fail "no amber icon for a record held: $(grep -E "systray|text" "$traces" | head -30)"
touch "$scratch/log/release"
await_line ' started ' 30 || fail "the record was not written once free: $(cat "$record")"
# changes counts the icon's changes of picture and tooltip; its adding is the first.
changes() { grep -c 'modify_icon id=0x1 hwnd=[0-9A-F]* flags=87' "$traces"; }
for _ in $(seq 200); do [ "$(changes)" -ge 2 ] && break; sleep 0.05; done
[ "$(changes)" -ge 2 ] || fail "the icon stayed amber once the record was free"
log_check 'Mon Jan  1 00:00:01 2001'
await_trace 'title = L"Internet connection lost"' && await_trace 'add text L"No connection since ' ||
    fail "no balloon when the connection dropped: $(cat "$record"; grep -a "title\|add text\|systray" "$traces" | tail -20)"
if $routed; then
    await_line 'diagnosis check="Mon Jan  1 00:00:01 2001"' 30 &&
        grep -F 'check="Mon Jan  1 00:00:01 2001"' "$record" | grep -q ' path="ipv4 to 1.1.1.1: ' ||
        fail "no path traced: $(grep -F 'check="Mon Jan  1 00:00:01 2001"' "$record")"
    echo "traced under Wine: $(grep -F 'check="Mon Jan  1 00:00:01 2001"' "$record" | grep -o 'path="[^"]*"')"
fi
await_trace 'title = L"Internet connection back"' && await_trace 'add text L"Back online' ||
    fail "no balloon when the connection returned"
if $routed; then # the sampler through Windows' ICMP calls: its windows, and their figures shown
    await_line ' quality span=' 30 && grep ' quality ' "$record" | tail -1 | grep -q ' ipv4-gateway=[0-9]*/[1-9]' ||
        fail "no quality window with answered echoes: $(grep -E 'quality|sampling' "$record" | tail -3)"
    # Explorer's start told: the icon placed anew, its tooltip traced as it is now.
    "$wine" "$scratch/program/share_check.exe" icon taskbar 2>>"$traces"
    await_trace 'add text L"Connectivity monitor: online, 0 ms, 0% loss' ||
        fail "the tooltip without the last window's figures: $(grep -a 'add text' "$traces" | tail -3)"
fi
modified=$(changes)
rm -f "$scratch/log/connectivityLog.txt" && mkdir "$scratch/log/connectivityLog.txt"
await_line 'log-unwritable' 30 || fail "the log's spell was not noticed"
for _ in $(seq 100); do
    [ "$(changes)" -gt "$modified" ] && break
    sleep 0.05
done
[ "$(changes)" -gt "$modified" ] ||
    fail "the icon did not change for a log that cannot be written"
grep -q 'message change=down .* shown=shown' "$record" && grep -q 'message change=up .* shown=shown' "$record" ||
    fail "the messages are not in the record: $(cat "$record")"
rmdir "$scratch/log/connectivityLog.txt"
await_line 'log-writable' 30 || fail "the log writable again"

# A double-click, two selections, opens one report.
printf '@echo report>>"%%~1\\reports.txt"\r\n' >"$scratch/program/outage-report.cmd"
"$wine" "$scratch/program/share_check.exe" icon select select 2>>"$traces" || fail "no icon window"
sleep 4
[ "$(grep -c report "$scratch/log/reports.txt" 2>/dev/null)" = 1 ] ||
    fail "a double-click made $(grep -c report "$scratch/log/reports.txt" 2>/dev/null) reports"

# The menu open and left so: a failed check is diagnosed all the same, and --stop works.
"$wine" "$scratch/program/share_check.exe" icon menu 2>>"$traces"
sleep 2
log_check 'Mon Jan  1 00:00:02 2099' # later than any check seen: news in a log begun anew
await_line 'diagnosis check="Mon Jan  1 00:00:02 2099"' 30 || fail "no diagnosis while the menu was open: $(tail -5 "$record")"
(cd "$scratch/log" && timeout 60 "$wine" "$scratch/program/connectivity-watch.exe" --stop >/dev/null 2>&1) ||
    fail "--stop failed while the menu was open"
await_trace 'Shell_NotifyIconW dwMessage = 2' || fail "--stop left the icon"
echo "PASS: the icon, its states and its messages in Wine's notification area"
