#!/usr/bin/env bash
# The real watcher and monitor in a private network namespace (every check fails): what the record
# holds, a monitor started with nothing of the watcher's, a second watcher refused (even once the
# record is moved away, when the first begins a new one), the monitor restarted after it is killed,
# the log unwritable and writable again, a watcher killed outright taking its monitor along and
# leaving a readable record, --stop returning once both have ended and never stopping a watcher
# started after it, SIGHUP, --status in each state, and the watcher's first words.
# usage: watch_e2e.sh WATCHER (the monitor beside it)
set -u
watcher=$(realpath "$1")
source "$(dirname "$0")/../e2e/isolation.sh"
source "$(dirname "$0")/watch_support.sh"
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
log=$scratch/log
field() { sed -n "s/.* $1 .*$2=\([^ ]*\).*/\1/p" "$record" | tail -1; }
watch() { cd "$log" && exec "${isolate[@]}" "$watcher" "$@"; }
# A watcher in the foreground, which should end at once: bounded, should it not.
watch_now() { (cd "$log" && exec timeout 30 "${isolate[@]}" "$watcher" "$@"); }

# Started with a descriptor of its own open and SIGXFSZ ignored, as a shell or a service may.
(exec 3>"$scratch/inherited" && trap '' XFSZ && watch >"$scratch/said") &
await_line ' started ' 10 || fail "no start recorded"
monitor=$(field started monitor)
[ -n "$monitor" ] && kill -0 "$monitor" || fail "no monitor running: $(cat "$record")"
[ "$(readlink "/proc/$monitor/cwd")" = "$log" ] && [ "$(readlink "/proc/$monitor/fd/0")" = /dev/null ] &&
    [ "$(readlink "/proc/$monitor/fd/1")" = /dev/null ] || fail "the monitor's folder or streams"
grep -q '^[-0-9T:]*[+-][0-9][0-9]:[0-9][0-9] started version=[0-9.]* os=linux watcher=[0-9]* machine=.* monitor=' "$record" ||
    fail "the start line: $(head -1 "$record")"
# Its three standard descriptors alone, and SIGXFSZ (signal 25) at its default.
[ "$(ls "/proc/$monitor/fd" | wc -l)" -eq 3 ] || fail "the monitor inherited: $(ls -l "/proc/$monitor/fd")"
(((0x$(sed -n 's/^SigIgn:\s*//p' "/proc/$monitor/status") & 1 << 24) == 0)) ||
    fail "the monitor ignores SIGXFSZ: $(grep SigIgn "/proc/$monitor/status")"

[[ $(cat "$scratch/said") == "connectivity-watch: watching $log: the monitor's log "*"Stop it with Ctrl+C"*"--stop"* ]] ||
    fail "the first words: $(cat "$scratch/said")"
said=$(watch_now 2>&1)
[ $? -eq 0 ] && [[ $said == *"already watches $log"* ]] || fail "a second watcher: $said"
await_line 'message change=down' 20 || fail "the outage was not told"
said=$(cd / && timeout 30 "$watcher" --status "$log")
[ $? -eq 0 ] && [[ $said == *"Watching $log: connectivity-watch (process $(field started watcher)) since "* ]] &&
    [[ $said == *"Connection: down since "*"; cause: your own network)."* ]] || fail "--status while watching: $said"
# The record moved away: the folder is still watched, and the watcher begins a new record.
mv "$record" "$scratch/moved-record"
await_line 'record="begun anew' 10 || fail "no new record after the old one was moved"
said=$(watch_now 2>&1)
[ $? -eq 0 ] && [[ $said == *"already watches $log"* ]] || fail "a second watcher once the record moved: $said"

kill -9 "$monitor"
await_line 'monitor-ended how="ended by SIGKILL"' 5 && await_line 'monitor-started monitor=' 15 ||
    fail "the monitor was not started again: $(tail -3 "$record")"
monitor=$(field monitor-started monitor)
kill -0 "$monitor" || fail "no monitor after the restart"

await_line 'diagnosis check=' 15 || fail "the monitor's own failed check was not diagnosed"
mv "$log/connectivityLog.txt" "$scratch/kept" && mkdir "$log/connectivityLog.txt"
await_line 'log-unwritable reason="the log is a folder"' 10 || fail "a log that is a folder"
rmdir "$log/connectivityLog.txt" && mv "$scratch/kept" "$log/connectivityLog.txt"
await_line 'log-writable' 10 || fail "the log writable again"

pid=$(field started watcher)
kill -9 "$pid"
for _ in $(seq 40); do kill -0 "$monitor" 2>/dev/null || break; sleep 0.05; done
! kill -0 "$monitor" 2>/dev/null || fail "the monitor outlived its watcher"
grep -vE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2} [a-z-]+( |$)' "$record" &&
    fail "lines not in the record's form"

watch &
await_line "watcher=$!" 10 || fail "a new watcher could not take over the folder"
pid=$(field started watcher)
monitor=$(field started monitor)
said=$(watch_now --stop 2>&1) || fail "--stop failed: $said"
# Returned once the watcher and its monitor have ended, with the stop recorded.
! kill -0 "$pid" 2>/dev/null && ! kill -0 "$monitor" 2>/dev/null ||
    fail "--stop returned with the watcher or its monitor still running"
[[ $said == *"stopped watching"* ]] && [[ $(tail -1 "$record") == *"stopped reason=SIGTERM" ]] ||
    fail "--stop: $said; $(tail -1 "$record")"
# A watcher started at once after --stop is no concern of that stop's.
watch &
await_line "watcher=$!" 10 || fail "no watcher after --stop"
sleep 1
kill -0 $! || fail "a watcher started after --stop stopped too: $(tail -2 "$record")"
kill -HUP $!
await_line 'stopped reason=SIGHUP' 10 || fail "SIGHUP: $(tail -1 "$record")"
for _ in $(seq 50); do kill -0 $! 2>/dev/null || break; sleep 0.1; done
said=$(watch_now --stop 2>&1)
[ $? -eq 3 ] && [[ $said == *"nothing watches"* ]] || fail "--stop with nothing watching: $said"
said=$(watch_now --status)
[ $? -eq 3 ] && [[ $said == "Not watched: "* ]] || fail "--status with nothing watching: $said"
watch_now --status "$record" >/dev/null 2>&1
[ $? -eq 2 ] || fail "--status on a file is not a folder"

# Where it can never work it says so and ends: no monitor beside it, a folder it cannot write.
mkdir "$scratch/alone" && cp "$watcher" "$scratch/alone/"
said=$(cd "$log" && timeout 30 "$scratch/alone/connectivity-watch" 2>&1 >/dev/null)
[ $? -eq 1 ] && [[ $said == *"connectivity-monitor"* ]] || fail "without its monitor: $said"
if unshare -m true 2>/dev/null; then
    said=$(timeout 30 unshare -m sh -c 'mount -t tmpfs -o ro tmpfs "$1" && cd "$1" && exec "$2"' - \
        "$scratch/alone" "$watcher" 2>&1 >/dev/null)
    [ $? -eq 1 ] && [ -n "$said" ] || fail "in a folder it cannot write: $said"
else
    echo "SKIP: a read-only folder (no mount namespace)"
fi
echo "PASS: started, refused, restarted, unwritable, killed and stopped"
