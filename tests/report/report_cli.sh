#!/usr/bin/env bash
# The report program end to end: a CR LF log with zero-padded days (as the Windows monitor writes
# it), standard input, and every exit status. Runs natively or under Wine.
# usage: report_cli.sh COMMAND... (the last word is the program)
set -u
command=("$@")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
report() { "${command[@]}" "$@" 2>err | tr -d '\r'; return "${PIPESTATUS[0]}"; }

for line in 'Sun Feb 18 00:29:21 2024' 'Sun Feb 18 00:29:52 2024' 'Sun Feb 18 00:30:2' \
    'Sun Feb 18 00:30:54 2024' '(time unavailable)' 'Sun Feb 18 23:59:40 2024' \
    'Mon Feb 19 00:00:11 2024' 'Mon Feb 19 00:00:09 2024' 'Fri Mar 01 09:05:00 2024'; do
    printf 'internet connection test failed on %s\r\n' "$line"
done >log.txt
printf 'hello\r\n' >>log.txt
expected='start,end,failed_checks,seconds
2024-02-18T00:29:21,2024-02-18T00:30:54,3,93
2024-02-18T23:59:40,2024-02-19T00:00:11,2,31
2024-02-19T00:00:09,2024-02-19T00:00:09,1,0
2024-03-01T09:05:00,2024-03-01T09:05:00,1,0'

[ "$(report log.txt --csv -)" = "$expected" ] || fail "CSV: $(report log.txt --csv -)"
[ "$(report - --csv - <log.txt)" = "$expected" ] || fail "CSV from standard input differs"
summary=$(report log.txt --gap 31) || fail "summary exit status $?"
for figure in 'Failed checks     8, 1 of them without a time' 'Outages           5 ' \
    'Skipped           2 lines not in the monitor.s form \(lines 3, 10\)'; do
    [[ $summary =~ $figure ]] || fail "summary lacks '$figure': $summary"
done
report log.txt --html page.html --csv table.csv >/dev/null || fail "writing files: $(cat err)"
[ "$(tr -d '\r' <table.csv)" = "$expected" ] && grep -q '<svg class="track"' page.html ||
    fail "the files written differ from the outputs"

# /dev/stdout leads to the file the shell opened: appended to, never truncated or replaced.
if [[ ${command[0]} != *wine* ]]; then
    "${command[@]}" log.txt --csv /dev/stdout >both.txt
    grep -q '^Connectivity report' both.txt && grep -q '^start,end' both.txt || fail "$(cat both.txt)"
fi
: >empty.txt
[[ $(report empty.txt) =~ "No failed checks" ]] || fail "an empty log: $(report empty.txt)"

# status WANTED ARGS...: the exit status, and one line on standard error naming the problem.
status() {
    local wanted=$1
    shift
    report "$@" >/dev/null
    local got=$?
    [ "$got" -eq "$wanted" ] || fail "$* exited $got, expected $wanted"
    [ -s err ] || fail "$* said nothing on standard error"
}
status 1 missing.txt
grep -q 'missing.txt' err && [ "$(wc -l <err)" -eq 1 ] || fail "open error: $(cat err)"
status 1 log.txt --csv no-such-folder/out.csv
[ ! -e no-such-folder ] || fail "a failed output left something behind"
status 2 log.txt --gap -5
status 2 log.txt --no-such-option
status 2 log.txt --csv - --html -
grep -q '^usage: connectivity-report' err || fail "a usage error without the usage: $(cat err)"
echo "PASS: figures, CSV, files and exit statuses"
