#!/usr/bin/env bash
# The real monitor with no network: console dialogue, log contents and exit status.
# usage: monitor_e2e.sh SCENARIO lf|crlf COMMAND...
# SCENARIO: quit-first, one-failure, stdout-closed, closed-descriptors, or reachable-via-hosts and
# reachable-via-dns=DNS_RESPONDER (root: a private machine whose probe host is a loopback listener).
# A COMMAND ending in .exe is copied alone into the empty folder it runs in.
set -u
scenario=$1
line_end=$([ "$2" = crlf ] && printf '\r\n' || printf '\n')
shift 2
source "$(dirname "$0")/isolation.sh"

command=("$@")
expected_files=connectivityLog.txt
if [[ ${command[-1]} == *.exe ]]; then
    cp "${command[-1]}" "$scratch/run/"
    command[-1]=$(basename "${command[-1]}")
    expected_files="$(basename "${command[-1]}") connectivityLog.txt"
fi
prompt='Do you want to quit? y/Y '

# The probe host named by /etc/hosts, or by a resolver that never answers AAAA (a middlebox fault).
if [[ $scenario == reachable-via-* ]]; then
    refusal=$([ "$(id -u)" -eq 0 ] && unshare -m -n -p --fork --mount-proc true 2>&1) || {
        echo "SKIP: no private mount, network and process namespaces (root only): ${refusal:-not root}"
        exit 77
    }
    printf '127.0.0.1 localhost\n' >"$scratch/hosts"
    printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:2\n' >"$scratch/resolv.conf"
    isolate=(unshare -m -n -p --fork --mount-proc bash "$(dirname "$0")/private_machine.sh" "$scratch")
    if [ "$scenario" = reachable-via-hosts ]; then
        printf '127.0.0.1 www.google.com\n' >>"$scratch/hosts"
    else
        isolate+=(--dns "${scenario#reachable-via-dns=}" answer silent)
    fi
    isolate+=(--)
fi

# run INPUT: the monitor in the scratch folder, its output and status kept beside it.
run() {
    started=$(date +%s)
    (cd "$scratch/run" && printf "$1" | "${isolate[@]}" "${command[@]}" >"$scratch/out" 2>"$scratch/err")
    status=$?
    elapsed=$(($(date +%s) - started))
}

check_common() {
    [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
    [ ! -s "$scratch/err" ] || fail "standard error not empty: $(head -c 500 "$scratch/err")"
    local files
    files=$(cd "$scratch/run" && ls -A | sort | tr '\n' ' ')
    [ "$files" = "$expected_files " ] || fail "run folder holds '$files', expected '$expected_files '"
}

log_text() {
    local text
    text=$(cat "$scratch/run/connectivityLog.txt" && printf x)
    printf '%s' "${text%x}"
}

case $scenario in
quit-first)
    run 'y\n'
    check_common
    [ "$(cat "$scratch/out")" = "$prompt" ] || fail "console showed '$(cat "$scratch/out")'"
    [ -f "$scratch/run/connectivityLog.txt" ] && [ ! -s "$scratch/run/connectivityLog.txt" ] ||
        fail "expected an empty log, found: $(log_text)"
    ;;
one-failure)
    run 'n\ny\n'
    check_common
    [ "$(cat "$scratch/out")" = "$prompt$prompt" ] || fail "console showed '$(cat "$scratch/out")'"
    [ "$elapsed" -ge 30 ] || fail "quit after ${elapsed}s, before the 30 s pause was over"
    text=$(log_text)
    [[ $text =~ ^($log_line_pattern)"$line_end"$ ]] || fail "log is not one well-formed line: $(printf '%q' "$text")"
    stamp=${text#internet connection test failed on }
    stamped=$(date -d "${stamp%"$line_end"}" +%s) || fail "time text does not parse"
    ((stamped >= started - 1 && stamped <= started + 5)) ||
        fail "line stamped $stamped, but the first cycle began at $started"
    ;;
stdout-closed)
    # Standard output is a pipe nobody reads; SIGPIPE at its default, as a shell leaves it.
    started=$(date +%s)
    (cd "$scratch/run" && printf 'n\ny\n' | perl -e '
        pipe(my $reader, my $writer) or die; close $reader;
        open(STDOUT, ">&", $writer) or die; $SIG{PIPE} = "DEFAULT"; exec @ARGV or die;
    ' "${isolate[@]}" "${command[@]}" 2>"$scratch/err")
    status=$?
    [ "$status" -eq 0 ] || fail "exit status $status (141 is death by SIGPIPE), expected 0"
    [[ $(log_text) =~ ^($log_line_pattern)"$line_end"$ ]] || fail "log: $(printf '%q' "$(log_text)")"
    ;;
closed-descriptors)
    # Unattended with standard output, input or both closed: the log must not take their place.
    for redirection in '</dev/null >&-' '<&- >/dev/null' '<&- >&-'; do
        rm -f "$scratch/run/connectivityLog.txt"
        (cd "$scratch/run" && eval "exec ${isolate[*]@Q} ${command[*]@Q} $redirection 2>/dev/null") &
        monitor=$!
        for _ in $(seq 1200); do # up to a minute: Wine may be starting its services
            [ -s "$scratch/run/connectivityLog.txt" ] && break
            sleep 0.05
        done
        sleep 0.5 # a stray prompt would follow the line at once
        kill "$monitor" 2>/dev/null
        wait "$monitor" 2>/dev/null
        [[ $(log_text) =~ ^($log_line_pattern)"$line_end"$ ]] ||
            fail "with $redirection the log holds: $(printf '%q' "$(log_text)")"
    done
    ;;
reachable-via-*)
    run 'n\ny\n'
    check_common
    [ "$(cat "$scratch/out")" = "$prompt$prompt" ] || fail "console showed '$(cat "$scratch/out")'"
    [ -s "$scratch/accepted" ] || fail "the listener on 127.0.0.1:443 saw no connection"
    [ ! -s "$scratch/run/connectivityLog.txt" ] || fail "a reachable host was logged: $(log_text)"
    # The pause and two quick checks; a resolver stall (glibc waits 15 s here per check, 60 s in
    # all) shows, whatever a busy machine adds to starting the program (Wine's server included).
    [ "$elapsed" -le 40 ] || fail "took ${elapsed}s for two checks and one 30 s pause"
    ;;
*)
    fail "unknown scenario $scenario"
    ;;
esac
echo "PASS: $scenario"
