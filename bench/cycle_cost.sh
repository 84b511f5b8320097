#!/usr/bin/env bash
# CPU time per cycle and peak memory: the unpaused monitor against a shell loop doing the same job
# (a connect check with nc -z, date, an append on failure), both against loopback peers.
# usage: cycle_cost.sh UNPAUSED_MONITOR LOOPBACK_PEER [CYCLES]
set -euo pipefail
monitor=$(realpath "$1")
peer=$(realpath "$2")
cycles=${3:-5000}
for tool in nc /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool (make bench installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
exec 3> >("$peer" >"$work/ports")
trap 'exec 3>&-; rm -rf "$work"' EXIT
until [ -s "$work/ports" ]; do sleep 0.05; done
read -r listening refusing <"$work/ports"

# measure LABEL COMMAND...: prints LABEL, CPU per cycle and peak memory; leaves CPU seconds in $cpu.
measure() {
    local label=$1 user sys kib TIMEFORMAT='%3U %3S'
    shift
    rm -f "$work/connectivityLog.txt"
    { time (cd "$work" && /usr/bin/time -f '%M' -o "$work/kib" "$@" </dev/null >/dev/null 2>&1); } 2>"$work/cpu"
    read -r user sys <"$work/cpu"
    kib=$(tail -1 "$work/kib")
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
    awk -v l="$label" -v c="$cpu" -v k="$kib" -v n="$cycles" \
        'BEGIN { printf "%-22s %10.1f us %8d KiB\n", l, c * 1e6 / n, k }'
}

shell_loop='for ((i = 0; i < $0; i++)); do
    now=$(date)
    nc -z 127.0.0.1 "$1" 2>/dev/null || echo "internet connection test failed on $now" >>connectivityLog.txt
done'

echo "$cycles cycles each, on $(nproc) cores of $(uname -m), $(date -u +%Y-%m-%d)"
printf '%-22s %13s %12s\n' "" "CPU per cycle" "peak memory"
for target in listening refusing; do
    port=${!target}
    measure "monitor, $target" env MONITOR_CYCLES="$cycles" MONITOR_PROBE_URL="http://127.0.0.1:$port" "$monitor"
    monitor_cpu=$cpu
    measure "shell loop, $target" bash -c "$shell_loop" "$cycles" "$port"
    awk -v m="$monitor_cpu" -v s="$cpu" \
        'BEGIN { printf "%-22s %13.4f (goal: at most 0.1)\n", "ratio", m / s }'
done
