#!/usr/bin/env bash
# The real watcher and monitor in a private network namespace (every check fails): what the record
# holds, a second watcher refused, the monitor restarted after it is killed, the log unwritable and
# writable again, a watcher killed outright taking its monitor along and leaving a readable record,
# and --stop ending both.
# usage: watch_e2e.sh WATCHER (the monitor beside it)
set -u
watcher=$(realpath "$1")
source "$(dirname "$0")/../e2e/isolation.sh"
source "$(dirname "$0")/watch_support.sh"
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
log=$scratch/log
field() { sed -n "s/.* $1 .*$2=\([^ ]*\).*/\1/p" "$record" | tail -1; }
watch() { cd "$log" && exec "${isolate[@]}" "$watcher" "$@"; }

watch &
await_line ' started ' 10 || fail "no start recorded"
monitor=$(field started monitor)
[ -n "$monitor" ] && kill -0 "$monitor" || fail "no monitor running: $(cat "$record")"
[ "$(readlink "/proc/$monitor/cwd")" = "$log" ] && [ "$(readlink "/proc/$monitor/fd/0")" = /dev/null ] &&
    [ "$(readlink "/proc/$monitor/fd/1")" = /dev/null ] || fail "the monitor's folder or streams"
grep -q '^[-0-9T:]*[+-][0-9][0-9]:[0-9][0-9] started version=[0-9.]* os=linux watcher=[0-9]* monitor=' "$record" ||
    fail "the start line: $(head -1 "$record")"

said=$(watch 2>&1)
[ $? -eq 0 ] && [[ $said == *"already watches $log"* ]] || fail "a second watcher: $said"

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
monitor=$(field started monitor)
said=$(watch --stop 2>&1) || fail "--stop failed: $said"
[[ $said == *"stopped watching"* ]] && [[ $(tail -1 "$record") == *"stopped reason=SIGTERM" ]] ||
    fail "--stop: $said; $(tail -1 "$record")"
! kill -0 "$monitor" 2>/dev/null || fail "--stop left the monitor running"
said=$(watch --stop 2>&1)
[ $? -eq 3 ] && [[ $said == *"nothing watches"* ]] || fail "--stop with nothing watching: $said"
echo "PASS: started, refused, restarted, unwritable, killed and stopped"
