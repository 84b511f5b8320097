#!/usr/bin/env bash
# Telling the person, on Linux: a private session bus (dbus-daemon) with a stand-in notification
# service gets exactly one "down" and one "up" for an outage of several failed checks; the
# person's own command runs for each with the change in its environment, and one that fails is
# recorded and changes nothing else. A bus that accepts and never answers holds the watcher for
# no more than about a second.
# usage: notifications.sh WATCHER NOTIFICATION_SERVICE
set -u
watcher=$(realpath "$1")
service=$(realpath "$2")
command -v dbus-daemon >/dev/null || { echo "SKIP: dbus-daemon is missing (Debian's dbus)"; exit 77; }
source "$(dirname "$0")/../e2e/isolation.sh"
source "$(dirname "$0")/watch_support.sh"
trap 'kill $(jobs -p) $bus 2>/dev/null; wait; rm -rf "$scratch"' EXIT
program_folder_with_stub_monitor

# A bus on a path, not an abstract socket: the bus and the watcher each have a network namespace
# of their own.
bus=$("${isolate[@]}" dbus-daemon --session --address="unix:path=$scratch/bus" --fork --print-pid) ||
    fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$scratch/bus
"$service" >"$scratch/shown" &
for _ in $(seq 100); do grep -q serving "$scratch/shown" && break; sleep 0.05; done

# The person's command: notes its environment, and fails when the connection is back.
cat >"$scratch/on-change" <<'SCRIPT'
#!/bin/sh
env | grep '^CONNECTIVITY_' | sort >"$CHANGES/$CONNECTIVITY_EVENT"
[ "$CONNECTIVITY_EVENT" = down ]
SCRIPT
chmod +x "$scratch/on-change"
(cd "$scratch/log" && CHANGES=$scratch exec "${isolate[@]}" "$scratch/program/connectivity-watch" \
    --gap 4 --on-change "$scratch/on-change") &
await_line ' started ' 10 || fail "the watcher did not start"
for second in 01 02 03; do
    log_check "Mon Jan  1 00:00:$second 2001"
    sleep 1
done
await_line 'message change=up' 20 && await_line 'command change=up' 10 ||
    fail "no message that the connection is back: $(cat "$record")"

[ "$(wc -l <"$scratch/shown")" -eq 3 ] &&
    grep -q '^Internet connection lost|No connection since [0-9][0-9]:[0-9][0-9]\.' "$scratch/shown" &&
    grep -Eq '^Internet connection back\|Back online after at least [1-3]s \(3 failed checks since [0-9]{2}:[0-9]{2}\)\.$' "$scratch/shown" ||
    fail "the desktop was shown: $(cat "$scratch/shown")"
grep -q '^CONNECTIVITY_CHECKS=1$' "$scratch/down" && grep -q '^CONNECTIVITY_EVENT=down$' "$scratch/down" &&
    grep -q '^CONNECTIVITY_CAUSE=[a-z]*$' "$scratch/down" &&
    grep -q '^CONNECTIVITY_FIRST_CHECK=Mon Jan  1 00:00:01 2001$' "$scratch/up" &&
    grep -q '^CONNECTIVITY_CHECKS=3$' "$scratch/up" && grep -q '^CONNECTIVITY_SPAN_SECONDS=[1-3]$' "$scratch/up" &&
    grep -Eq '^CONNECTIVITY_SINCE=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}$' "$scratch/up" ||
    fail "the command's environment: $(cat "$scratch/down" "$scratch/up")"
grep -q 'command change=down result="exited with status 0"' "$record" &&
    grep -q 'command change=up result="exited with status 1"' "$record" &&
    [ "$(grep -c ' message change=' "$record")" -eq 2 ] ||
    fail "the record of messages and commands: $(grep -E 'message|command' "$record")"
kill -0 %2 2>/dev/null || fail "a failing command stopped the watcher"

# A bus that takes the connection and never says a word: the message gives up within its limit,
# and the watcher goes on (the diagnosis, the still-running loop).
kill "$bus" %1 && wait %1 2>/dev/null
rm -f "$scratch/bus"
perl -MIO::Socket::UNIX -e '
    my $bus = IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 5) or die "listen: $!";
    my @held; while (my $peer = $bus->accept) { push @held, $peer }' "$scratch/bus" &
for _ in $(seq 100); do [ -S "$scratch/bus" ] && break; sleep 0.05; done
sleep 5 # past the gap: a new outage
log_check 'Mon Jan  1 00:01:00 2001'
logged=$(date +%s%N)
await_line 'message change=down' 10 2 || fail "no message line with a silent bus: $(tail -3 "$record")"
took=$((($(date +%s%N) - logged) / 1000000))
grep 'message change=down' "$record" | tail -1 |
    grep -q 'shown="not shown: the notification service did not answer within 1000 ms"' &&
    [ "$took" -lt 5000 ] || fail "a silent bus: $took ms; $(grep 'message change=down' "$record" | tail -1)"
echo "PASS: one message down, one up, and the person's command for each; a silent bus gives up in $took ms"
