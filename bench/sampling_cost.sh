#!/usr/bin/env bash
# What sampling the quality costs, on the simulated home network (both families, every probe
# answered): the watcher's CPU time per hour of watching at --sample 1, its memory through a
# simulated day (the default's 8,640 samples per segment and family, sampled a hundred times
# faster), and the record's growth in a year of windows at the defaults.
# usage: sampling_cost.sh WATCHER DNS_RESPONDER
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
source "$(dirname "$0")/../tests/watch/home_network_setup.sh"
program_folder_with_stub_monitor

# watch SAMPLE WINDOW SECONDS: the watcher run that long; prints its CPU seconds an hour in user
# space and in the kernel after its start, and its resident memory in KiB after a tenth of the
# time and at the end.
watch() {
    (cd "$scratch/log" && exec ip netns exec $computer "$scratch/program/connectivity-watch" \
        --quiet --sample "$1" --window "$2" >/dev/null) &
    local pid=$!
    await_line ' started ' 10 || fail "the watcher did not start"
    sleep "$(($3 / 10))"
    local early late before after
    early=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
    before=$(awk '{ print $14, $15 }' "/proc/$pid/stat")
    sleep "$(($3 - $3 / 10))"
    late=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
    after=$(awk '{ print $14, $15 }' "/proc/$pid/stat")
    kill "$pid"
    wait "$pid" 2>/dev/null
    # The CPU seconds an hour, from after the start to the end, in user space and in the kernel.
    awk -v b="$before" -v a="$after" -v hz="$(getconf CLK_TCK)" -v s="$(($3 - $3 / 10))" -v e="$early" -v l="$late" 'BEGIN {
        split(b, x, " "); split(a, y, " ")
        print (y[1] - x[1]) / hz * 3600 / s, (y[2] - x[2]) / hz * 3600 / s, e, l }'
}

echo "on $(nproc) cores, $(date -u +%Y-%m-%d)"
# The watcher's own floor (following the log, the record, its clocks) beside it sampling. The
# kernel's share includes the simulated routers' forwarding and answers, done in the sender's
# network processing: on a real line the computer's own share is smaller.
read -r user0 kernel0 _ _ <<<"$(watch 0 300 180)"
: >"$record"
read -r user kernel _ _ <<<"$(watch 1 300 180)"
awk -v u="$user" -v k="$kernel" -v u0="$user0" -v k0="$kernel0" 'BEGIN {
    printf "an hour of watching, CPU: %.1f s user, %.1f s kernel at --sample 1; %.1f s, %.1f s without sampling\n", u, k, u0, k0
    printf "sampling costs %.1f s of CPU an hour, user and kernel together (goal: under 1 s)\n", u + k - u0 - k0 }'
: >"$record"
read -r _ _ early late <<<"$(watch 0.01 10 90)"
echo "a simulated day (--sample 0.01 for 90 s): resident memory ${early} KiB after 9 s, ${late} KiB at the end (goal: flat)"
bytes=$(grep ' quality ' "$record" | tail -5 | wc -c)
awk -v b="$bytes" 'BEGIN { printf "a quality line of both families: %d bytes; a year of 5-minute windows: %.1f MB (goal: under 30 MB)\n",
    b / 5, b / 5 * 105120 / 1e6 }'
