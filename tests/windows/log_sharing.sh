#!/usr/bin/env bash
# While the question waits, another Windows program can open the log for reading and writing.
# usage: log_sharing.sh WINE_RUN MONITOR_EXE SHARE_CHECK_EXE
set -u
wine_run=$1
source "$(dirname "$0")/../e2e/isolation.sh"
cp "$2" "$3" "$scratch/run/"
cd "$scratch/run" || exit 1

wait_for() {
    for _ in $(seq 600); do
        [ -e "$1" ] && return 0
        sleep 0.05
    done
    fail "gave up waiting for $1"
}

# Control: the check must fail on a file held with writes denied, or it proves nothing.
: >held.txt
"$wine_run" share_check.exe hold-deny-write held.txt "$scratch/holding" "$scratch/release" &
holder=$!
wait_for "$scratch/holding"
"$wine_run" share_check.exe open-rw held.txt
control=$?
touch "$scratch/release"
wait "$holder"
[ "$control" -eq 1 ] || fail "control: open-rw gave $control on a file held with writes denied, expected 1"
rm held.txt

mkfifo "$scratch/answers"
"${isolate[@]}" "$wine_run" connectivity-monitor.exe <"$scratch/answers" >"$scratch/out" 2>&1 &
monitor=$!
exec 3>"$scratch/answers"
wait_for connectivityLog.txt
"$wine_run" share_check.exe open-rw connectivityLog.txt
shared=$?
printf 'y\n' >&3
exec 3>&-
wait "$monitor"
status=$?
[ "$shared" -eq 0 ] || fail "open-rw of the log gave $shared while the monitor held it, expected 0"
[ "$status" -eq 0 ] || fail "monitor exit status $status"
echo "PASS: the log was open to other programs while the question waited"
