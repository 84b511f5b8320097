#!/usr/bin/env bash
# Runs a command as on a machine of its own: private mounts, network and processes, our /etc/hosts
# and /etc/resolv.conf, loopback up, a listener on port 443 that notes each connection, silent
# nameservers on 127.0.0.2 to .4, and optionally a DNS responder on 127.0.0.1:53. Start it as
# `unshare -m -n -p --fork --mount-proc` (root): every helper, and any Wine server started
# inside, ends with it; sanitizers read /proc.
# usage: private_machine.sh DIR [--listen ADDRESS] [--dns DNS_RESPONDER A_REPLY AAAA_REPLY] -- COMMAND...
# DIR holds hosts and resolv.conf; the listener appends a line to DIR/accepted per connection.
set -u
dir=$1
shift
# Wine's server makes a program's sockets, in the server's own namespace; a temporary folder of
# our own hides the outer server, so Wine starts one in here.
export TMPDIR=$dir/tmp
mkdir -p "$TMPDIR" && mount --make-rprivate / && mount --bind "$dir/hosts" /etc/hosts &&
    mount --bind "$dir/resolv.conf" /etc/resolv.conf && ip link set lo up || exit 1

listen=127.0.0.1
resolver=
while [ "$1" != -- ]; do
    case $1 in
    --listen) listen=$2 && shift 2 ;;
    --dns) resolver=("$2" 53 "$3" "$4") && shift 4 ;;
    *) echo "private_machine.sh: unknown option $1" >&2 && exit 2 ;;
    esac
done
shift # --

perl -MIO::Socket::IP -e '
    my ($dir, $address) = @ARGV;
    my $server = IO::Socket::IP->new(LocalHost => $address, LocalPort => 443,
        Listen => 16, ReuseAddr => 1) or die "listen: $!";
    # Nameservers that take every question and never answer.
    my @silent = map { IO::Socket::IP->new(LocalHost => "127.0.0.$_", LocalPort => 53,
        Proto => "udp") or die "udp: $!" } 2 .. 4;
    open(my $ready, ">", "$dir/listening") or die; close $ready;
    while (my $peer = $server->accept) {
        open(my $log, ">>", "$dir/accepted") or die; print $log "connection\n"; close $log;
        close $peer;
    }' "$dir" "$listen" </dev/null &
if [ -n "$resolver" ]; then
    "${resolver[@]}" >"$dir/resolving" </dev/null & # prints its port once it serves
fi
for _ in $(seq 200); do
    [ -e "$dir/listening" ] && { [ -z "$resolver" ] || [ -s "$dir/resolving" ]; } && break
    sleep 0.05
done
"$@" # not exec'd: as this shell ends, the namespace ends and its helpers with it
