#!/usr/bin/env bash
# The connection's quality while it is up, on the simulated home network (home_network_setup.sh):
# the real watcher sampling fifty times a second into windows of ten seconds, through a clean
# network, 30% of the echoes lost past the provider's edge, 30% lost on the computer's own link
# (nftables counting every tenth: an exact share), and 300 ms added past the edge (a TUN relay that
# holds each packet). Each must come out right: the loss measured within 5 points of the injected
# over hundreds of probes, the median round trip within 10% and 2 ms of the added delay, the
# stretch put on the right segment, and told once as it begins and once as it ends.
# usage: quality_network.sh WATCHER DNS_RESPONDER DELAY_RELAY
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
relay=$(realpath "$3")
source "$(dirname "$0")/home_network_setup.sh"
[ -c /dev/net/tun ] || { echo "SKIP: no TUN devices here (/dev/net/tun)"; exit 77; }

events=$scratch/events
program_folder_with_stub_monitor
(cd "$scratch/log" && exec ip netns exec $computer "$scratch/program/connectivity-watch" \
    --sample 0.02 --window 10 --on-change "echo \$CONNECTIVITY_EVENT \$CONNECTIVITY_CAUSE >>$events") &
await_line started 10 || fail "the watcher did not start: $(cat "$scratch/log"/* 2>&1)"
await_line 'sampling every=0.02s window=10s ipv4="ICMP echo to 192.168.77.1 and past the edge" ipv6="ICMP echo to fd00:77::1 and past the edge"' 10 ||
    fail "how it samples: $(grep sampling "$record")"

# figure GROUP FIELD: from the last quality line, one figure of a family's segment:
# sent received minimum p10 median p90 maximum jitter, and loss in percent.
figure() {
    local value
    value=$(grep ' quality ' "$record" | tail -1 | grep -o " $1=[^ ]*" | cut -d= -f2 | tr -d '\r')
    IFS=/ read -r sent received minimum p10 median p90 maximum jitter <<<"$value"
    case $2 in
    loss) echo $(((sent - received) * 1000 / sent)) ;; # in tenths of a percent
    *) echo "${!2}" ;;
    esac
}
# await_event TEXT SECONDS: whether the person's command was run for TEXT in time.
await_event() {
    for _ in $(seq $(($2 * 10))); do grep -qx "$1" "$events" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
# around VALUE LOW HIGH: whether LOW <= VALUE <= HIGH (whole numbers or tenths).
around() { awk -v v="$1" -v l="$2" -v h="$3" 'BEGIN { exit !(v >= l && v <= h) }'; }

# A clean network: windows that set what is usual, nothing lost, nothing told.
await_line ' quality ' 40 3 || fail "no quality windows: $(tail -3 "$record")"
for group in ipv4-gateway ipv4-internet ipv6-gateway ipv6-internet; do
    [ "$(figure $group loss)" = 0 ] && [ "$(figure $group sent)" -ge 200 ] ||
        fail "clean: $group $(grep ' quality ' "$record" | tail -1)"
done
[ ! -e "$events" ] || fail "clean, yet told: $(cat "$events")"

# scenario NAME CAUSE BREAK MEND CHECK: the stretch while BREAK holds is told once, on CAUSE's
# side, CHECK holds of the last window before mending, and its end is told once after.
scenario() {
    : >"$events"
    eval "$3"
    await_event "degraded $2" 40 || fail "$1: not told: $(cat "$events"); $(grep ' quality ' "$record" | tail -2)"
    await_line ' quality ' 15 "$(($(grep -c ' quality ' "$record") + 1))" # a whole window of it
    eval "$5" || fail "$1: $(grep ' quality ' "$record" | tail -1)"
    eval "$4"
    await_event "recovered $2" 40 || fail "$1: its end not told: $(cat "$events")"
    [ "$(wc -l <"$events")" = 2 ] || fail "$1: told $(cat "$events")"
    echo "$1: $(grep ' quality ' "$record" | tail -3 | head -1 | tr -d '\r')"
}
# drop NS DEVICE DESTINATION...: every tenth echo request in three, per destination (one
# counter each), lost as it comes in on that device.
drop() {
    local ns=$1 device=$2 destination
    shift 2
    on $ns nft add table netdev loss && on $ns nft add chain netdev loss c \
        "{ type filter hook ingress device $device priority 0; policy accept; }" || return 1
    for destination in "$@"; do
        if [[ $destination == *:* ]]; then
            on $ns nft add rule netdev loss c ip6 daddr "$destination" icmpv6 type echo-request numgen inc mod 10 '<' 3 drop
        else
            on $ns nft add rule netdev loss c ip daddr "$destination" icmp type echo-request numgen inc mod 10 '<' 3 drop
        fi
    done
}
mend() { on "$1" nft delete table netdev loss; }
anycast="1.1.1.1 9.9.9.9 2606:4700:4700::1111 2620:fe::fe"
lost() { # GROUP: 30% lost, give or take 5 points
    around "$(figure "$1" loss)" 250 350
}
clean() { [ "$(figure "$1" loss)" -le 10 ]; }

scenario "30% lost past the provider's edge" provider "drop $edge e0 $anycast" "mend $edge" \
    'lost ipv4-internet && lost ipv6-internet && clean ipv4-gateway && clean ipv6-gateway'
scenario "30% lost on the computer's own link" local \
    "drop $router r0 192.168.77.1 fd00:77::1 $anycast" "mend $router" \
    'lost ipv4-gateway && lost ipv6-gateway && lost ipv4-internet && lost ipv6-internet'

# 300 ms more past the edge: the anycast addresses reached through the relay, which holds what
# goes out and lets the answers back at once.
slow() {
    ip netns exec $edge true && ("$relay" 300 $edge dl0 $internet dl1 >"$scratch/relay" 2>&1 &) &&
        for _ in $(seq 50); do grep -q ready "$scratch/relay" && break; sleep 0.1; done &&
        grep -q ready "$scratch/relay" &&
        ip -n $edge link set dl0 up && ip -n $internet link set dl1 up &&
        on $internet sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.dl1.rp_filter=0 &&
        for address in 1.1.1.1 9.9.9.9; do ip -n $edge route replace $address/32 dev dl0; done &&
        for address in 2606:4700:4700::1111 2620:fe::fe; do ip -n $edge -6 route replace $address/128 dev dl0; done
}
fast() {
    for address in 1.1.1.1 9.9.9.9; do ip -n $edge route del $address/32; done
    for address in 2606:4700:4700::1111 2620:fe::fe; do ip -n $edge -6 route del $address/128; done
}
delayed() { # GROUP: its median 300 ms more, within 10% and 2 ms
    around "$(figure "$1" median)" 298 332 && clean "$1"
}
scenario "300 ms more past the provider's edge" provider slow fast \
    'delayed ipv4-internet && delayed ipv6-internet && around "$(figure ipv4-gateway median)" 0 5'
grep -q ' message change=degraded since=[^ ]* cause=provider text="Connection degraded: 30% loss beyond your router since ' "$record" ||
    fail "the message in the record: $(grep ' message ' "$record")"
echo "PASS: quality measured and told on the simulated network"
