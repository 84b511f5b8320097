#!/usr/bin/env bash
# The diagnosis on a simulated home network shaped like the ones people have (home_network_setup.sh).
# Each scenario breaks one thing (or mends all), appends a failed check to the log and reads the
# verdict the watcher records for it, and where its path stopped.
# usage: home_network.sh WATCHER DNS_RESPONDER [--times]
#   --times: a table of each verdict's time beside the network's round trip, for make bench
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
times=${3-}
source "$(dirname "$0")/home_network_setup.sh"

program_folder_with_stub_monitor
(cd "$scratch/log" && exec ip netns exec $computer "$scratch/program/connectivity-watch" --quiet) &
await_line started 10 || fail "the watcher did not start: $(cat "$scratch/log"/* 2>&1)"

# The network's own round trip, computer to the site: the best of five TCP handshakes.
rtt=$(on $computer perl -MIO::Socket::IP -MTime::HiRes=time -e '
    my $best; for (1 .. 5) { my $t = time; IO::Socket::IP->new(PeerHost => "203.0.113.80",
        PeerPort => 443) or next; my $took = time - $t; $best = $took if !defined $best || $took < $best }
    printf "%.2f", 1000 * ($best // 0)')
[ -n "$times" ] && printf '%-58s %-9s %9s %14s\n' scenario verdict time "round trip"
checks=0
# scenario NAME EXPECTED STOP BREAK RESTORE: the verdict (and where the path stopped, alternatives
# joined by " or ", or - where it applies not) for a check failed while BREAK holds; RESTORE mends it again.
scenario() {
    eval "$4"
    sleep 0.3
    checks=$((checks + 1))
    local text started took line verdict
    text="Mon Jan  1 00:00:$(printf %02d $checks) 2001"
    started=$(date +%s%N)
    log_check "$text"
    await_line "diagnosis check=\"$text\"" 10 || fail "no diagnosis of '$text' for $1"
    took=$((($(date +%s%N) - started) / 1000000))
    line=$(grep -F "check=\"$text\"" "$record")
    verdict=$(sed -n 's/.* verdict=\([a-z]*\) .*/\1/p' <<<"$line")
    [ "$verdict" = "$2" ] || fail "$1: expected $2, recorded: $line"
    if [ "$3" = - ]; then
        [[ $line != *stopped-after=* ]] || fail "$1: no path should apply: $line"
    elif [ -n "$3" ]; then
        local stop stopped=
        while read -r stop; do
            [[ $line == *"stopped-after=\"$stop\""* ]] && stopped=yes
        done <<<"${3// or /$'\n'}"
        [ -n "$stopped" ] || fail "$1: the path should stop after $3: $line"
    fi
    [ "$took" -le 6000 ] || fail "$1: the verdict took $took ms"
    if [ -n "$times" ]; then
        printf '%-58s %-9s %6d ms %11s ms\n' "$1" "$2" "$took" "$rtt"
    else
        echo "$1: $2 in $took ms"
    fi
    eval "$5"
}
scenario "nothing broken" cleared - : :
scenario "the computer's link down" local - "ip -n $computer link set c0 down" computer_link
# A router's error messages are few (Linux: about one a second to each host, shared by every
# kind): which family's it sends first varies with the load.
at_router="192.168.77.1 (hop 1) or fd00:77::1 (hop 1)"
scenario "the router's uplink down" provider "$at_router" \
    "ip -n $router link set r1 down" uplink
scenario "the provider's edge forwarding nothing further" provider "100.64.0.1 (hop 2)" \
    "firewall $edge forward iifname e0 drop" "unfirewall $edge"
scenario "the router's DNS silent" dns - "redns silent" "redns answer"
scenario "the router's DNS saying no such name" dns - "redns nxdomain" "redns answer"
scenario "the site gone, its host refusing" site "" "ended $site" \
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
     ended $site" \
    "unfirewall $edge; listen site 203.0.113.80 2001:db8:80::80"
# The name in the hosts file, the nameserver silent and the site refusing: the name resolves here,
# as the monitor resolves it, and the site is the site's.
scenario "the name in the hosts file, DNS silent, the site refusing" site "" \
    "echo '203.0.113.80 www.google.com' >>/etc/netns/$computer/hosts && redns silent &&
     ended $site" \
    "sed -i '/www.google.com/d' /etc/netns/$computer/hosts; redns answer; listen site 203.0.113.80 2001:db8:80::80"
# Where unprivileged ICMP is refused, the gateway is asked over TCP: a refusal is an answer.
scenario "no ICMP sockets, the router's uplink down" provider "" \
    "on $computer sysctl -qw net.ipv4.ping_group_range='1 0'; ip -n $router link set r1 down" \
    "on $computer sysctl -qw net.ipv4.ping_group_range='0 2147483647'; uplink"
# A default route on the link itself (point to point): there is no gateway to be silent.
scenario "a default route with no gateway" provider "" \
    "ip -n $computer route replace default dev c0 && ip -n $computer -6 route replace default dev c0" \
    computer_link
scenario "all mended" cleared - : :
grep -q 'answers on TCP' "$record" || fail "the gateway was not asked over TCP: $(tail -1 "$record")"
grep -q 'ipv4: 192.168.77.1 answers an ICMP echo' "$record" &&
    grep -q 'ipv6: fd00:77::1 answers an ICMP echo' "$record" ||
    fail "a gateway was not asked by ICMP echo: $(grep -o 'local="[^"]*"' "$record" | head -3)"
grep -q 'path="ipv4 to 1.1.1.1: 192.168.77.1, 100.64.0.1, 1.1.1.1 (reached); ipv6 to 2606:4700:4700::1111: fd00:77::1, 2001:db8:64::1, 2606:4700:4700::1111 (reached)' "$record" ||
    fail "the path in both families: $(grep -o 'path="[^"]*"' "$record" | head -2)"
! grep ' message .* shown=shown' "$record" || fail "--quiet, yet messages were shown"
[ -n "$times" ] || echo "PASS: every verdict on the simulated network"
[ -z "${KEEP_RECORD-}" ] || cp "$record" "$KEEP_RECORD"
