#!/usr/bin/env bash
# The diagnosis on a simulated home network shaped like the ones people have (home_network_setup.sh).
# Each scenario breaks one thing (or mends all), appends a failed check to the log and reads the
# verdict the watcher records for it, and where its path stopped. The scenarios come in sets that
# run side by side, each on a network of its own: the common faults; the unusual lines (a double
# NAT, a slow name service, a router dropping UDP, an edge sparing its error messages, a tunnel, a
# site with a dead address, a router giving its own address for every name, a name server that
# refuses); and loss on the provider's link.
# usage: home_network.sh WATCHER DNS_RESPONDER [faults|unusual|loss|all] [--times]
#   --times: a table of each verdict's time beside the network's round trip, for make bench
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
set=${3:-all}
times=${4-}
source "$(dirname "$0")/home_network_setup.sh"

program_folder_with_stub_monitor
(cd "$scratch/log" && exec ip netns exec $computer "$scratch/program/connectivity-watch" --quiet >/dev/null) &
await_line started 10 || fail "the watcher did not start: $(cat "$scratch/log"/* 2>&1)"

# The network's own round trip, computer to the site: the best of five TCP handshakes.
rtt=$(on $computer perl -MIO::Socket::IP -MTime::HiRes=time -e '
    my $best; for (1 .. 5) { my $t = time; IO::Socket::IP->new(PeerHost => "203.0.113.80",
        PeerPort => 443) or next; my $took = time - $t; $best = $took if !defined $best || $took < $best }
    printf "%.2f", 1000 * ($best // 0)')
[ -n "$times" ] && printf '%-58s %-9s %9s %14s  %s\n' scenario verdict time "round trip" goal
checks=0
# scenario NAME EXPECTED STOP BREAK RESTORE: the verdict (and where the path stopped, alternatives
# joined by " or ", or - where it applies not) for a check failed while BREAK holds; RESTORE mends it again.
# A verdict comes within 3 s (6 s for a check that waited for the one before), or, where only the
# name's answer decides it (NAME_DECIDES set), within the monitor's own 10 s.
scenario() {
    eval "$4"
    sleep 0.3
    checks=$((checks + 1))
    local text started took line verdict
    # One later second each, the minutes carried: a set of many scenarios passes sixty.
    text="Mon Jan  1 00:$(printf %02d:%02d $((checks / 60)) $((checks % 60))) 2001"
    started=$(date +%s%N)
    log_check "$text"
    await_line "diagnosis check=\"$text\"" 15 || fail "no diagnosis of '$text' for $1"
    took=$((($(date +%s%N) - started) / 1000000))
    line=$(grep -F "check=\"$text\"" "$record")
    verdict=$(sed -n 's/.* verdict=\([a-z]*\) .*/\1/p' <<<"$line")
    [[ "|$2|" == *"|$verdict|"* ]] || fail "$1: expected $2, recorded: $line"
    if [ "$3" = - ]; then
        [[ $line != *stopped-after=* ]] || fail "$1: no path should apply: $line"
    elif [ -n "$3" ]; then
        local stop stopped=
        while read -r stop; do
            [[ $line == *"stopped-after=\"$stop\""* ]] && stopped=yes
        done <<<"${3// or /$'\n'}"
        [ -n "$stopped" ] || fail "$1: the path should stop after $3: $line"
    fi
    [ "$took" -le "$([ -n "${NAME_DECIDES-}" ] && echo 12000 || echo 6000)" ] ||
        fail "$1: the verdict took $took ms"
    if [ -n "$times" ]; then
        printf '%-58s %-9s %6d ms %11s ms  %s\n' "$1" "$verdict" "$took" "$rtt" \
            "$([ -n "${NAME_DECIDES-}" ] && echo "10 s (the name alone decides)" || echo "3 s")"
    else
        echo "$1: $verdict in $took ms"
    fi
    eval "$5"
}
# twice NAME ...: the scenario, then again: each must give the same party and hop every time.
# (What names a process that a scenario starts anew is written \$name, to be read when it runs.)
twice() { scenario "$@" && scenario "$1 (again)" "${@:2}"; }
# A router's error messages are few (Linux: about one a second to each host, shared by every
# kind): which family's it sends first varies with the load.
at_router="192.168.77.1 (hop 1) or fd00:77::1 (hop 1)"
at_edge="100.64.0.1 (hop 2) or 2001:db8:64::1 (hop 2)"
scenario "nothing broken" cleared - : :
case $set in
faults | all)
    scenario "the computer's link down" local - "ip -n $computer link set c0 down" computer_link
    scenario "the router's uplink down" provider "$at_router" \
        "ip -n $router link set r1 down" uplink
    scenario "the provider's edge forwarding nothing further" provider "100.64.0.1 (hop 2)" \
        "firewall $edge forward iifname e0 drop" "unfirewall $edge"
    NAME_DECIDES=yes scenario "the router's DNS silent" dns - "redns silent" "redns answer"
    scenario "the router's DNS saying no such name" dns - "redns nxdomain" "redns answer"
    scenario "the site gone, its host refusing" site "" "ended \$site" \
        "listen site 203.0.113.80 2001:db8:80::80"
    scenario "the router refusing forwarded traffic (ICMP)" provider "$at_router" \
        "firewall $router forward iifname r0 reject" "unfirewall $router"
    scenario "the router refusing forwarded TCP with resets" provider "$at_router" \
        "firewall $router forward iifname r0 meta l4proto tcp reject with tcp reset &&
         on $router nft add rule inet test c iifname r0 drop" "unfirewall $router"
    scenario "the router ignoring pings and TCP, its uplink down" provider "" \
        "firewall $router input meta l4proto '{ icmp, icmpv6, tcp }' drop && ip -n $router link set r1 down" \
        "unfirewall $router; uplink"
    scenario "the router's DNS giving its own address for every name" dns - \
        "redns answer 192.168.77.1 fd00:77::1" "redns answer"
    scenario "the anycast addresses blocked, the site refusing" site "" \
        "firewall $edge forward ip daddr '{ 1.1.1.1, 9.9.9.9 }' drop &&
         on $edge nft add rule inet test c ip6 daddr '{ 2606:4700:4700::1111, 2620:fe::fe }' drop &&
         ended \$site" \
        "unfirewall $edge; listen site 203.0.113.80 2001:db8:80::80"
    # The name in the hosts file, the nameserver silent and the site refusing: the name resolves
    # here, as the monitor resolves it, and the site is the site's.
    scenario "the name in the hosts file, DNS silent, the site refusing" site "" \
        "echo '203.0.113.80 www.google.com' >>/etc/netns/$computer/hosts && redns silent && ended \$site" \
        "sed -i '/www.google.com/d' /etc/netns/$computer/hosts; redns answer; listen site 203.0.113.80 2001:db8:80::80"
    # Where unprivileged ICMP is refused, the gateway is asked over TCP: a refusal is an answer.
    scenario "no ICMP sockets, the router's uplink down" provider "" \
        "on $computer sysctl -qw net.ipv4.ping_group_range='1 0'; ip -n $router link set r1 down" \
        "on $computer sysctl -qw net.ipv4.ping_group_range='0 2147483647'; uplink"
    ;;&
unusual | all)
    # The provider's box in front of the person's router, both translating addresses; the box
    # saying it has no way on, for every probe it is asked to forward.
    twice "behind a double NAT, the provider's box refusing onward" provider "100.64.0.1 (hop 2)" \
        "nat $router r1 && nat $edge e1 && firewall $edge forward iifname e0 reject with icmpx type no-route" \
        "unfirewall $edge; unnat $edge; unnat $router"
    # A forwarder whose upstream is far and busy: the name comes after three seconds, well within
    # the monitor's own ten.
    NAME_DECIDES=yes twice "a slow name service, nothing else wrong" cleared - "redns slow" "redns answer"
    NAME_DECIDES=yes twice "a slow name service, the site gone" site "" "redns slow && ended \$site" \
        "redns answer; listen site 203.0.113.80 2001:db8:80::80"
    twice "the router dropping UDP to high ports, the edge forwarding nothing further" provider \
        "100.64.0.1 (hop 2)" \
        "firewall $router forward udp dport 33434-33534 drop && firewall $edge forward iifname e0 drop" \
        "unfirewall $router; unfirewall $edge"
    twice "the edge sending one error a second, forwarding nothing further" provider "100.64.0.1 (hop 2)" \
        "on $edge sysctl -qw net.ipv4.icmp_msgs_per_sec=1 net.ipv4.icmp_msgs_burst=1 && firewall $edge forward iifname e0 drop" \
        "unfirewall $edge; on $edge sysctl -qw net.ipv4.icmp_msgs_per_sec=1000 net.ipv4.icmp_msgs_burst=50"
    # A default route on a link of its own, as a VPN tunnel has, through which nothing answers.
    twice "a default route with no gateway, nothing answering through it" local "" \
        "ip -n $computer route replace default dev c0 && ip -n $computer -6 route replace default dev c0" \
        computer_link
    twice "the site's first address dead, its second answering" cleared - \
        "redns answer 203.0.113.99,203.0.113.80 2001:db8:80::99,2001:db8:80::80" "redns answer"
    twice "the router giving its own address for every name, its uplink down" provider "$at_router" \
        "redns answer 192.168.77.1 fd00:77::1 && ip -n $router link set r1 down" "redns answer; uplink"
    # Its pings and TCP ignored: the router's name server refusing is the router answering.
    twice "the router refusing names, ignoring pings and TCP, its uplink down" provider "" \
        "redns refused && firewall $router input meta l4proto '{ icmp, icmpv6, tcp }' drop && ip -n $router link set r1 down" \
        "unfirewall $router; uplink; redns answer"
    ;;&
loss | all)
    # Loss on the provider's link, each way: never the site's fault, nor the name service's.
    for percent in 20 50 75; do
        lossy $percent
        for round in $(seq 10); do
            scenario "$percent% lost each way on the provider's link, $round" "provider|cleared" "" : :
        done
        unlossy
    done
    ;;
esac
scenario "all mended" cleared - : :
if [ "$set" = faults ] || [ "$set" = all ]; then
    grep -q 'answers on TCP' "$record" || fail "the gateway was not asked over TCP: $(tail -1 "$record")"
fi
# Both asked where some verdict waits for them: the loss set's come first from the site.
[ "$set" = loss ] || { grep -q 'ipv4: 192.168.77.1 answers an ICMP echo' "$record" &&
    grep -q 'ipv6: fd00:77::1 answers an ICMP echo' "$record"; } ||
    fail "a gateway was not asked by ICMP echo: $(grep -o 'local="[^"]*"' "$record" | head -3)"
# Traced whole in both families where some verdict waits long enough: the loss set's verdicts
# come before IPv6's rate-limited errors (one a second) have named every hop.
[ "$set" = loss ] ||
    grep -q 'path="ipv4 to 1.1.1.1: 192.168.77.1, 100.64.0.1, 1.1.1.1 (reached); ipv6 to 2606:4700:4700::1111: fd00:77::1, 2001:db8:64::1, 2606:4700:4700::1111 (reached)' "$record" ||
    fail "the path in both families: $(grep -o 'path="[^"]*"' "$record" | head -2)"
! grep ' message .* shown=shown' "$record" || fail "--quiet, yet messages were shown"
[ -n "$times" ] || echo "PASS: every verdict of the $set scenarios on the simulated network"
[ -z "${KEEP_RECORD-}" ] || cp "$record" "$KEEP_RECORD"
