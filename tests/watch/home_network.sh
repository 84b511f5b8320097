#!/usr/bin/env bash
# The diagnosis on a simulated home network, each part a network namespace of its own: a computer,
# a router forwarding between two veth links, and an internet holding the anycast addresses, the
# probed site and a DNS server on its loopback. Each scenario breaks one thing, appends a failed
# check to the log and reads the verdict the watcher records for it: within ten seconds.
# usage: home_network.sh WATCHER DNS_RESPONDER
set -u
watcher=$(realpath "$1")
responder=$(realpath "$2")
[ "$(id -u)" -eq 0 ] && ip netns add "probe-$$" 2>/dev/null && ip netns del "probe-$$" || {
    echo "SKIP: a simulated network needs root and ip netns (iproute2)"
    exit 77
}
source "$(dirname "$0")/watch_support.sh"
computer=cw-computer-$$ router=cw-router-$$ internet=cw-internet-$$
cleanup() {
    for ns in $computer $router $internet; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9
        ip netns del "$ns" 2>/dev/null
    done
    rm -rf "$scratch" "/etc/netns/$computer"
}
trap cleanup EXIT
on() { ip netns exec "$@"; }

for ns in $computer $router $internet; do
    ip netns add "$ns" && ip -n "$ns" link set lo up || fail "cannot make namespace $ns"
done
ip link add c0 netns $computer type veth peer name r0 netns $router
ip link add r1 netns $router type veth peer name i0 netns $internet
# link NS DEVICE IPV4 IPV6: addresses on a device, and the device up.
link() {
    ip -n "$1" addr replace "$3" dev "$2" && ip -n "$1" -6 addr replace "$4" dev "$2" nodad &&
        ip -n "$1" link set "$2" up
}
# routes NS IPV4_GATEWAY IPV6_GATEWAY: the default route of each family.
routes() { ip -n "$1" route replace default via "$2" && ip -n "$1" -6 route replace default via "$3"; }
link $computer c0 10.0.0.2/24 fd00::2/64 && routes $computer 10.0.0.1 fd00::1
link $router r0 10.0.0.1/24 fd00::1/64 && link $router r1 100.64.0.1/30 fd01::1/64 &&
    routes $router 100.64.0.2 fd01::2
link $internet i0 100.64.0.2/30 fd01::2/64 &&
    ip -n $internet route add 10.0.0.0/24 via 100.64.0.1 &&
    ip -n $internet -6 route add fd00::/64 via fd01::1 || fail "cannot wire the network"
for address in 1.1.1.1 9.9.9.9 203.0.113.80 198.51.100.53 2606:4700:4700::1111 2620:fe::fe \
    2001:db8:80::80; do
    ip -n $internet addr add "$address" dev lo
done
on $router sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
# Unprivileged ICMP sockets, as Debian's systemd allows them on a booted machine.
on $computer sysctl -qw net.ipv4.ping_group_range='0 2147483647'
# The computer's own resolver and hosts, which ip netns exec puts over /etc's.
mkdir -p "/etc/netns/$computer"
echo 'nameserver 198.51.100.53' >"/etc/netns/$computer/resolv.conf"
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
resolver() { ip netns exec $internet "$responder" 53 "$1" "$1" 198.51.100.53 203.0.113.80 2001:db8:80::80 >/dev/null & dns=$!; }
listen anycast 1.1.1.1 9.9.9.9 2606:4700:4700::1111 2620:fe::fe
listen site 203.0.113.80 2001:db8:80::80
resolver answer

program_folder_with_stub_monitor
(cd "$scratch/log" && exec ip netns exec $computer "$scratch/program/connectivity-watch" --quiet) &
await_line started 10 || fail "the watcher did not start: $(cat "$scratch/log"/* 2>&1)"

checks=0
# scenario EXPECTED BREAK RESTORE: the verdict for a check failed while BREAK holds.
scenario() {
    eval "$2"
    sleep 0.2
    checks=$((checks + 1))
    local text started took verdict
    text="Mon Jan  1 00:00:$(printf %02d $checks) 2001"
    started=$(date +%s%N)
    log_check "$text"
    await_line "diagnosis check=\"$text\"" 15 || fail "no diagnosis of '$text' for $1"
    took=$((($(date +%s%N) - started) / 1000000))
    verdict=$(sed -n "s/.* diagnosis check=\"$text\" verdict=\([a-z]*\) .*/\1/p" "$record")
    [ "$verdict" = "$1" ] || fail "expected $1, recorded: $(grep -F "$text" "$record")"
    [ "$took" -le 10000 ] || fail "the $1 verdict took $took ms"
    echo "$1: $took ms"
    eval "$3"
}
scenario cleared : :
scenario local "ip -n $computer link set c0 down" \
    "link $computer c0 10.0.0.2/24 fd00::2/64 && routes $computer 10.0.0.1 fd00::1"
scenario provider "ip -n $router link set r1 down" \
    "link $router r1 100.64.0.1/30 fd01::1/64 && routes $router 100.64.0.2 fd01::2"
scenario dns "kill $dns; wait $dns; resolver silent" "kill \$dns; wait \$dns; resolver answer"
scenario site "kill $site; wait $site" "listen site 203.0.113.80 2001:db8:80::80"
# Where unprivileged ICMP is refused, the gateway is asked over TCP: a refusal is an answer.
scenario provider "on $computer sysctl -qw net.ipv4.ping_group_range='1 0'; ip -n $router link set r1 down" \
    "link $router r1 100.64.0.1/30 fd01::1/64 && routes $router 100.64.0.2 fd01::2"
grep -q 'answers on TCP' "$record" || fail "the gateway was not asked over TCP: $(tail -1 "$record")"
grep -q 'answers an ICMP echo' "$record" || fail "the gateway was not asked by ICMP echo"
! grep ' message ' "$record" || fail "--quiet, yet messages were shown"
echo "PASS: every verdict on the simulated network"
