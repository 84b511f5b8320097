#!/usr/bin/env bash
# The diagnosis on a simulated home network shaped like the ones people have, each part a network
# namespace of its own: a computer; a home router with its DNS; the provider's edge; and an
# internet holding the anycast addresses and the site. Routers forward and answer expiring probes
# as real ones do, and the computer may open ICMP sockets, as desktop systems allow. Each
# scenario breaks one thing (or mends all), appends a failed check to the log and reads the
# verdict the watcher records for it, and where its path stopped.
# usage: home_network.sh WATCHER DNS_RESPONDER [--times]
#   --times: a table of each verdict's time beside the network's round trip, for make bench
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
times=${3-}
[ "$(id -u)" -eq 0 ] && ip netns add "probe-$$" 2>/dev/null && ip netns del "probe-$$" &&
    command -v nft >/dev/null || {
    echo "SKIP: a simulated network needs root, ip netns (iproute2) and nft (nftables)"
    exit 77
}
source "$(dirname "$0")/watch_support.sh"
computer=cw-computer-$$ router=cw-router-$$ edge=cw-edge-$$ internet=cw-internet-$$
cleanup() {
    [ "$BASHPID" = $$ ] || return 0 # a background job's shell ending is not the test's end
    for ns in $computer $router $edge $internet; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9
        ip netns del "$ns" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$scratch" "/etc/netns/$computer"
}
trap cleanup EXIT
on() { ip netns exec "$@"; }

for ns in $computer $router $edge $internet; do
    ip netns add "$ns" && ip -n "$ns" link set lo up || fail "cannot make namespace $ns"
    # A link taken down keeps its IPv6 addresses, as it keeps its IPv4 ones.
    on "$ns" sysctl -qw net.ipv6.conf.all.keep_addr_on_down=1 net.ipv6.conf.default.keep_addr_on_down=1
done
ip link add c0 netns $computer type veth peer name r0 netns $router
ip link add r1 netns $router type veth peer name e0 netns $edge
ip link add e1 netns $edge type veth peer name i0 netns $internet
# link NS DEVICE IPV4 IPV6: addresses on a device, and the device up.
link() {
    ip -n "$1" addr replace "$3" dev "$2" && ip -n "$1" -6 addr replace "$4" dev "$2" nodad &&
        ip -n "$1" link set "$2" up
}
# routes NS IPV4_GATEWAY IPV6_GATEWAY: the default route of each family.
routes() { ip -n "$1" route replace default via "$2" && ip -n "$1" -6 route replace default via "$3"; }
computer_link() { link $computer c0 192.168.77.2/24 fd00:77::2/64 && routes $computer 192.168.77.1 fd00:77::1; }
uplink() { link $router r1 100.64.0.2/30 2001:db8:64::2/64 && routes $router 100.64.0.1 2001:db8:64::1; }
computer_link
link $router r0 192.168.77.1/24 fd00:77::1/64 && uplink
link $edge e0 100.64.0.1/30 2001:db8:64::1/64 && link $edge e1 198.18.0.1/30 2001:db8:ff::1/64 &&
    routes $edge 198.18.0.2 2001:db8:ff::2 &&
    ip -n $edge route add 192.168.77.0/24 via 100.64.0.2 &&
    ip -n $edge -6 route add fd00:77::/64 via 2001:db8:64::2
link $internet i0 198.18.0.2/30 2001:db8:ff::2/64 &&
    for net in 192.168.77.0/24 100.64.0.0/30; do ip -n $internet route add $net via 198.18.0.1; done &&
    for net in fd00:77::/64 2001:db8:64::/64; do ip -n $internet -6 route add $net via 2001:db8:ff::1; done ||
    fail "cannot wire the network"
for address in 1.1.1.1 9.9.9.9 203.0.113.80 2606:4700:4700::1111 2620:fe::fe 2001:db8:80::80; do
    ip -n $internet addr add "$address" dev lo
done
for ns in $router $edge; do on $ns sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1; done
# Unprivileged ICMP sockets, as Debian's systemd allows them on a booted machine.
on $computer sysctl -qw net.ipv4.ping_group_range='0 2147483647'
# The computer's own resolver (the router) and hosts, which ip netns exec puts over /etc's.
mkdir -p "/etc/netns/$computer"
echo 'nameserver 192.168.77.1' >"/etc/netns/$computer/resolv.conf"
echo '127.0.0.1 localhost' >"/etc/netns/$computer/hosts"

# listen NAME ADDRESS...: a listener on port 443 of each address, accepting and hanging up.
listen() {
    local name=$1
    shift
    ip netns exec $internet perl -MIO::Socket::IP -MIO::Select -e '
        my $select = IO::Select->new(map { IO::Socket::IP->new(LocalHost => $_, LocalPort => 443,
            Listen => 16, ReuseAddr => 1) or die "listen $_: $!" } @ARGV);
        while (my @ready = $select->can_read) { close($_->accept) for @ready }' "$@" &
    eval "$name=$!"
}
# dns REPLY [A AAAA]: the router's DNS, answering every name with the site's addresses or others.
dns() {
    ip netns exec $router "$responder" 53 "$1" "$1" 192.168.77.1 "${2:-203.0.113.80}" \
        "${3:-2001:db8:80::80}" >/dev/null &
    resolver=$!
}
# ended PID: the process ended and reaped, within two seconds or by force.
ended() {
    kill "$1" 2>/dev/null
    for _ in $(seq 20); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
redns() { ended $resolver; dns "$@"; }
# firewall NS RULE...: a forward (or input) chain of one nftables table in a namespace.
firewall() {
    local ns=$1 hook=$2
    shift 2
    on $ns nft add table inet test && on $ns nft add chain inet test c \
        "{ type filter hook $hook priority 0; policy accept; }" && on $ns nft add rule inet test c "$@"
}
unfirewall() { on "$1" nft delete table inet test; }
listen anycast 1.1.1.1 9.9.9.9 2606:4700:4700::1111 2620:fe::fe
listen site 203.0.113.80 2001:db8:80::80
dns answer

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
