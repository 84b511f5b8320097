#!/usr/bin/env bash
# The real monitor with no network: console dialogue, log contents and exit status.
# usage: monitor_e2e.sh quit-first|one-failure|stdout-closed lf|crlf COMMAND...
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
*)
    fail "unknown scenario $scenario"
    ;;
esac
echo "PASS: $scenario"
