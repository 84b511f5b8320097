#!/usr/bin/env bash
# A long unattended run of the unpaused monitor: a whole line per failed cycle, memory and
# descriptors flat between cycle 10,000 and the last.
# usage: long_run.sh UNPAUSED_MONITOR [CYCLES]
set -u
monitor=$(realpath "$1")
cycles=${2:-200000}
source "$(dirname "$0")/isolation.sh"

(cd "$scratch/run" && MONITOR_CYCLES=$cycles "${isolate[@]}" "$monitor" </dev/null >/dev/null 2>"$scratch/report")
read -r _ ran _ kib_start kib_end _ fds_start fds_end <"$scratch/report" || fail "no report: $(cat "$scratch/report")"
[ "$ran" -eq "$cycles" ] || fail "ran $ran cycles"
lines=$(grep -cxE "$log_line_pattern" "$scratch/run/connectivityLog.txt")
total=$(wc -l <"$scratch/run/connectivityLog.txt")
[ "$lines" -eq "$cycles" ] && [ "$total" -eq "$cycles" ] || fail "$lines well-formed of $total lines, expected $cycles"
[ "$fds_end" -eq "$fds_start" ] || fail "descriptors went from $fds_start to $fds_end"
# AddressSanitizer's quarantine and stack records grow by design; there only descriptors count.
[ -n "${MONITOR_SANITIZED-}" ] || ((kib_end - kib_start < 64)) ||
    fail "anonymous resident memory grew from $kib_start KiB to $kib_end KiB"
echo "PASS: $cycles lines; anonymous resident $kib_start -> $kib_end KiB; descriptors $fds_start -> $fds_end"
