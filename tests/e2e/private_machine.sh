#!/usr/bin/env bash
# Runs a command as on a machine of its own: private mounts, network and processes, our /etc/hosts
# and /etc/resolv.conf, loopback up, a listener on 127.0.0.1:443 that notes each connection, and
# optionally a DNS responder on 127.0.0.1:53. Start it as `unshare -m -n -p --fork --mount-proc`
# (root): every helper, and any Wine server started inside, ends with it; sanitizers read /proc.
# usage: private_machine.sh DIR [--dns DNS_RESPONDER A_REPLY AAAA_REPLY] -- COMMAND...
# DIR holds hosts and resolv.conf; the listener appends a line to DIR/accepted per connection.
set -u
dir=$1
shift
# Wine's server makes a program's sockets, in the server's own namespace; a temporary folder of
# our own hides the outer server, so Wine starts one in here.
export TMPDIR=$dir/tmp
mkdir -p "$TMPDIR" && mount --make-rprivate / && mount --bind "$dir/hosts" /etc/hosts &&
    mount --bind "$dir/resolv.conf" /etc/resolv.conf && ip link set lo up || exit 1

perl -MIO::Socket::INET -e '
    my $server = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 443,
        Listen => 16, ReuseAddr => 1) or die "listen: $!";
    open(my $ready, ">", "$ARGV[0]/listening") or die; close $ready;
    while (my $peer = $server->accept) {
        open(my $log, ">>", "$ARGV[0]/accepted") or die; print $log "connection\n"; close $log;
        close $peer;
    }' "$dir" </dev/null &
resolver=no
if [ "$1" = --dns ]; then
    "$2" 53 "$3" "$4" >"$dir/resolving" </dev/null & # prints its port once it serves
    resolver=yes
    shift 4
fi
shift # --
for _ in $(seq 200); do
    [ -e "$dir/listening" ] && { [ $resolver = no ] || [ -s "$dir/resolving" ]; } && break
    sleep 0.05
done
"$@" # not exec'd: as this shell ends, the namespace ends and its helpers with it
