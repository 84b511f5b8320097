#!/usr/bin/env bash
# The real Linux monitor against misbehaving resolvers, each row on a private machine (root):
# seconds from start to exit when the first answer is y, so the time of one check plus the
# prompt, and whether the loopback host saw the check's connection.
# usage: resolver_table.sh MONITOR DNS_RESPONDER
set -u
monitor=$(realpath "$1")
responder=$(realpath "$2")
machine=$(dirname "$(realpath "$0")")/../tests/e2e/private_machine.sh
if [ "$(id -u)" -ne 0 ] || ! unshare -m -n -p --fork --mount-proc true 2>/dev/null; then
    echo "resolver table skipped: needs root for private mount, network and process namespaces"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '127.0.0.1 localhost\n' >"$work/hosts"

# row LABEL NAMESERVERS A_REPLY AAAA_REPLY LISTEN_ON: 127.0.0.1 answers as told; .2 to .4 never do.
row() {
    printf 'nameserver %s\n' $2 >"$work/resolv.conf"
    rm -f "$work/accepted" "$work/listening" "$work/resolving"
    local seconds
    seconds=$(unshare -m -n -p --fork --mount-proc bash "$machine" "$work" --listen "$5" \
        --dns "$responder" "$3" "$4" -- bash -c '
            start=$(date +%s.%N); cd "$1" && printf "y\n" | "$2" >/dev/null
            echo "$start $(date +%s.%N)"' _ "$work" "$monitor" | awk '{ printf "%6.2f", $2 - $1 }')
    printf '%-44s %s s  %s\n' "$1" "$seconds" "$([ -s "$work/accepted" ] && echo reachable || echo 'not reachable')"
}

echo "resolver behaviour                            check   verdict"
row "one nameserver, silent" 127.0.0.2 answer answer 127.0.0.1
row "three nameservers, all silent" "127.0.0.2 127.0.0.3 127.0.0.4" answer answer 127.0.0.1
row "A answered, AAAA never" 127.0.0.1 answer silent 127.0.0.1
row "AAAA answered, A never, host on IPv6 only" 127.0.0.1 silent answer ::1
row "first nameserver silent, second answers" "127.0.0.2 127.0.0.1" answer answer 127.0.0.1
row "both answered at once" 127.0.0.1 answer answer 127.0.0.1
