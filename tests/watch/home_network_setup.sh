# Sourced by the simulated home network's tests: a computer, a home router with its DNS, the
# provider's edge and an internet holding the anycast addresses and the site, each a network
# namespace of its own joined by veth links; the routers forward and answer expiring probes as
# real ones do, and the computer may open ICMP sockets, as desktop systems allow. It gives the
# ways to break and mend each part. Needs $responder (the DNS responder) set.
[ "$(id -u)" -eq 0 ] && ip netns add "probe-$$" 2>/dev/null && ip netns del "probe-$$" &&
    command -v nft >/dev/null || {
    echo "SKIP: a simulated network needs root, ip netns (iproute2) and nft (nftables)"
    exit 77
}
source "$(dirname "${BASH_SOURCE[0]}")/watch_support.sh"
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

# listen NAME ADDRESS...: a listener on port 443 of each address, accepting and hanging up; back
# once it listens.
listen() {
    local name=$1
    shift
    ip netns exec $internet perl -MIO::Socket::IP -MIO::Select -e '
        my $select = IO::Select->new(map { IO::Socket::IP->new(LocalHost => $_, LocalPort => 443,
            Listen => 16, ReuseAddr => 1) or die "listen $_: $!" } @ARGV);
        while (my @ready = $select->can_read) { close($_->accept) for @ready }' "$@" &
    eval "$name=$!"
    for _ in $(seq 100); do
        on $internet ss -ltnH "sport = :443" | grep -qF "$1:443" && return 0
        sleep 0.05
    done
    fail "no listener on $1"
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
    { wait "$1"; } 2>/dev/null || true
}
redns() { ended $resolver; dns "$@"; }
# firewall NS RULE...: a forward (or input) chain of one nftables table in a namespace.
firewall() {
    local ns=$1 hook=$2
    shift 2
    on $ns nft add table inet test && on $ns nft add chain inet test c \
        "{ type filter hook $hook priority 0; policy accept; }" && on $ns nft add rule inet test c "$@"
}
unfirewall() { on "$1" nft delete table inet test 2>/dev/null; }

# nat NS DEVICE: addresses leaving by DEVICE translated to its own, as a home router does.
nat() {
    on "$1" nft add table inet nat && on "$1" nft add chain inet nat post \
        '{ type nat hook postrouting priority 100; policy accept; }' &&
        on "$1" nft add rule inet nat post oifname "$2" masquerade
}
unnat() { on "$1" nft delete table inet nat 2>/dev/null; }
# lossy PERCENT: each packet crossing the provider's link, either way, lost at random.
lossy() {
    local ns device
    for ns in $router $edge; do
        device=$([ $ns = $router ] && echo r1 || echo e0)
        on $ns nft add table netdev lossy && on $ns nft add chain netdev lossy c \
            "{ type filter hook ingress device $device priority 0; policy accept; }" &&
            on $ns nft add rule netdev lossy c numgen random mod 100 '<' "$1" drop ||
            fail "cannot make $device lossy"
    done
}
unlossy() { for ns in $router $edge; do on $ns nft delete table netdev lossy; done; }
listen anycast 1.1.1.1 9.9.9.9 2606:4700:4700::1111 2620:fe::fe
listen site 203.0.113.80 2001:db8:80::80
dns answer

