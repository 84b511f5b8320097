#!/usr/bin/env bash
# Four unpaused monitors appending to one log at once: every line whole, none lost.
# usage: concurrent_writers.sh UNPAUSED_MONITOR [CYCLES_EACH]
set -u
monitor=$(realpath "$1")
cycles=${2:-25000}
source "$(dirname "$0")/isolation.sh"

for _ in 1 2 3 4; do
    (cd "$scratch/run" && MONITOR_CYCLES=$cycles "${isolate[@]}" "$monitor" </dev/null >/dev/null 2>&1) &
done
wait

lines=$(wc -l <"$scratch/run/connectivityLog.txt")
[ "$lines" -eq $((4 * cycles)) ] || fail "$lines lines, expected $((4 * cycles))"
torn=$(grep -cvxE "$log_line_pattern" "$scratch/run/connectivityLog.txt")
[ "$torn" -eq 0 ] || fail "$torn torn lines, first: $(grep -vxE "$log_line_pattern" "$scratch/run/connectivityLog.txt" | head -1)"
echo "PASS: $lines whole lines from 4 writers"
