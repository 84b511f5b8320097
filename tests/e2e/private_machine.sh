#!/usr/bin/env bash
# Runs a command as on a machine of its own: private mounts and network, our /etc/hosts and
# /etc/resolv.conf, loopback up, a listener on 127.0.0.1:443 that notes each connection, and
# optionally a DNS responder on 127.0.0.1:53. Meant to be started as `unshare -m -n` (root).
# usage: private_machine.sh DIR [--dns DNS_RESPONDER A_REPLY AAAA_REPLY] -- COMMAND...
# DIR holds hosts and resolv.conf; the listener appends a line to DIR/accepted per connection.
set -u
dir=$1
shift
mount --make-rprivate / && mount --bind "$dir/hosts" /etc/hosts &&
    mount --bind "$dir/resolv.conf" /etc/resolv.conf && ip link set lo up || exit 1

helpers=()
perl -MIO::Socket::INET -e '
    my $server = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 443,
        Listen => 16, ReuseAddr => 1) or die "listen: $!";
    open(my $ready, ">", "$ARGV[0]/listening") or die; close $ready;
    while (my $peer = $server->accept) {
        open(my $log, ">>", "$ARGV[0]/accepted") or die; print $log "connection\n"; close $log;
        close $peer;
    }' "$dir" </dev/null &
helpers+=($!)
if [ "$1" = --dns ]; then
    "$2" 53 "$3" "$4" >"$dir/resolving" </dev/null &
    helpers+=($!)
    shift 4
fi
shift # --
for _ in $(seq 200); do
    [ -e "$dir/listening" ] && { [ -z "${helpers[1]-}" ] || [ -s "$dir/resolving" ]; } && break
    sleep 0.05
done
"$@"
status=$?
kill "${helpers[@]}" 2>/dev/null
exit $status
