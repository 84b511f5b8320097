#!/usr/bin/env bash
# The Windows watcher under Wine, copied beside the monitor into a folder of its own: a GUI program
# that starts the monitor (a console program) with no window, records its start, refuses a second
# watcher of the folder, diagnoses the monitor's failed check in the record's form, starts the
# monitor again after it is killed, and ends both on --stop,
# which returns only once the watcher has ended and is not seen by a watcher started after it.
# usage: watch_wine.sh WINE_RUN WATCHER MONITOR
set -u
wine_run=$1
watcher=$2
source "$(dirname "$0")/../watch/watch_support.sh"
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
cp "$watcher" "$3" "$scratch/program/"
program=$scratch/program/connectivity-watch.exe
watch() { cd "$scratch/log" && exec "$wine_run" "$program" "$@"; }
# A watcher in the foreground, which should end at once: bounded, should it not.
watch_now() { (cd "$scratch/log" && exec timeout 60 "$wine_run" "$program" "$@"); }
# pid_of PROGRAM: the process running this folder's copy of a program.
pid_of() { pgrep -f "$(basename "$scratch").program.$1" | head -1; }

watch &
await_line ' started ' 60 || fail "no start recorded: $(cat "$record" 2>&1)"
grep -q ' started version=[0-9.]* os=windows watcher=[0-9]* machine=.* monitor=[0-9]*' "$record" ||
    fail "the start line: $(head -1 "$record")"
monitor=$(pid_of connectivity-monitor.exe)
[ -n "$monitor" ] || fail "no monitor running"

said=$(watch_now 2>&1)
[ $? -eq 0 ] && [[ $said == *"already watches"* ]] || fail "a second watcher: $said"
# The diagnosis of the monitor's own failed check, in the record's form, its path included (Wine's
# ICMP is partial: the form is proved here, the verdicts on Linux's simulated network).
await_line 'diagnosis check=' 60 || fail "no diagnosis: $(cat "$record")"
grep 'diagnosis check=' "$record" | head -1 | tr -d '\r' |
    grep -qE ' verdict=[a-z]+ took=[0-9.]+s local="[^"]*" dns="here: [^"]*" beyond="[^"]*" site="[^"]*" path="[^"]*"' ||
    fail "the diagnosis line: $(grep 'diagnosis check=' "$record" | head -1)"

said=$(watch_now --status 2>&1)
[ $? -eq 0 ] && [[ $said == *"Watching "*": connectivity-watch (process "*"Connection: "* ]] ||
    fail "--status while watching: $said"

kill -9 "$monitor"
await_line 'monitor-ended how="exited with status' 10 && await_line 'monitor-started monitor=' 20 ||
    fail "the monitor was not started again: $(tail -3 "$record")"

said=$(watch_now --stop 2>&1) || fail "--stop exited $?: $said"
[[ $said == *"stopped watching"* ]] && [[ $(tail -1 "$record" | tr -d '\r') == *'stopped reason="asked to stop"' ]] ||
    fail "--stop: $said; $(tail -1 "$record")"
[ -z "$(pid_of connectivity-watch.exe)" ] || fail "--stop returned with the watcher still running"
for _ in $(seq 100); do [ -z "$(pid_of connectivity-monitor.exe)" ] && break; sleep 0.1; done
[ -z "$(pid_of connectivity-monitor.exe)" ] || fail "--stop left $(pgrep -fa "$(basename "$scratch")")"

# Started at once after the stop, as an upgrade does: it watches on.
watch &
await_line ' started ' 60 2 || fail "no watcher after --stop: $(tail -2 "$record")"
sleep 2
[ -n "$(pid_of connectivity-watch.exe)" ] || fail "a watcher started after --stop stopped: $(tail -2 "$record")"
said=$(watch_now --stop 2>&1) || fail "the second --stop exited $?: $said"
said=$(watch_now --status 2>&1)
[ $? -eq 3 ] && [[ $said == "Not watched: "* ]] || fail "--status once stopped: $said"
echo "PASS: the watcher under Wine"
