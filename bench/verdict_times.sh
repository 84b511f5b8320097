#!/usr/bin/env bash
# The watcher's verdict for each common home-network fault, timed from the failed check's line to
# its verdict in the record, beside the simulated network's own round trip (as root, with network
# namespaces; the scenarios are the home-network test's own).
# usage: verdict_times.sh WATCHER DNS_RESPONDER
set -u
echo "The watcher's verdicts on a simulated home network (goal: each within 3 s of its line, or within the monitor's own 10 s where only a slow name decides)"
# The shell's word of each helper it ended, which says nothing of the times, left out.
bash "$(dirname "$0")/../tests/watch/home_network.sh" "$1" "$2" all --times \
    2> >(grep -vE 'Killed|No record of process|IO::Socket|IO::Select|can_read|^ +(my|while|Listen) ' >&2)
status=$?
[ "$status" -eq 77 ] && echo "skipped: needs root, ip netns and nft" && exit 0
exit "$status"
