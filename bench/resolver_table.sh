#!/usr/bin/env bash
# The real Linux monitor against misbehaving resolvers, each row on a private machine
# (`unshare -m -n`, root): seconds from start to exit when the first answer is y, so the time
# of one check plus the prompt, and whether the loopback host saw the check's connection.
# usage: resolver_table.sh MONITOR DNS_RESPONDER
set -u
monitor=$(realpath "$1")
responder=$(realpath "$2")
if [ "$(id -u)" -ne 0 ] || ! unshare -m -n true 2>/dev/null; then
    echo "resolver table skipped: needs root for private mount and network namespaces"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# row NAMESERVERS A_REPLY AAAA_REPLY LISTEN_ON: silent nameservers are 127.0.0.2 and up; the
# answering one is 127.0.0.1. Prints the seconds and whether the listener saw a connection.
row() {
    printf 'nameserver %s\n' $1 >"$work/resolv.conf"
    unshare -m -n bash -c '
        work=$1 responder=$2 monitor=$3 a=$4 aaaa=$5 listen=$6
        mount --make-rprivate / && mount --bind "$work/resolv.conf" /etc/resolv.conf
        ip link set lo up
        "$responder" 53 "$a" "$aaaa" >"$work/resolving" </dev/null &
        for silent in 127.0.0.2 127.0.0.3 127.0.0.4; do
            perl -MIO::Socket::INET -e "my \$s = IO::Socket::INET->new(LocalAddr => \"$silent:53\", Proto => \"udp\") or die; sleep 60" &
        done
        perl -MIO::Socket::IP -e "my \$s = IO::Socket::IP->new(LocalHost => \"$listen\", LocalPort => 443, Listen => 5) or die \$!;
            open(my \$r, \">\", \"$work/listening\"); close \$r;
            while (my \$c = \$s->accept) { open(my \$f, \">>\", \"$work/accepted\"); print \$f 1; close \$f }" &
        until [ -s "$work/resolving" ] && [ -e "$work/listening" ]; do sleep 0.02; done
        cd "$work" && start=$(date +%s.%N) && printf "y\n" | "$monitor" >/dev/null
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" "BEGIN { printf \"%6.2f s\", e - s }"
        kill $(jobs -p) 2>/dev/null
    ' _ "$work" "$responder" "$monitor" "$2" "$3" "$4"
    [ -s "$work/accepted" ] && echo "  reachable" || echo "  not reachable"
    rm -f "$work/accepted" "$work/listening" "$work/resolving"
}

echo "resolver behaviour                                   check   verdict"
printf '%-50s' "one nameserver, silent";                  row 127.0.0.2 answer answer 127.0.0.1
printf '%-50s' "three nameservers, all silent";           row "127.0.0.2 127.0.0.3 127.0.0.4" answer answer 127.0.0.1
printf '%-50s' "A answered, AAAA never";                  row 127.0.0.1 answer silent 127.0.0.1
printf '%-50s' "AAAA answered, A never, host on IPv6 only"; row 127.0.0.1 silent answer ::1
printf '%-50s' "first nameserver silent, second answers"; row "127.0.0.2 127.0.0.1" answer answer 127.0.0.1
printf '%-50s' "both answered at once";                   row 127.0.0.1 answer answer 127.0.0.1
