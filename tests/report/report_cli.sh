#!/usr/bin/env bash
# The report program end to end: a CR LF log with zero-padded days (as the Windows monitor writes
# it), standard input, outputs that must never harm the log, and every exit status. Runs natively
# or under Wine; there HOLDER names a program that holds a file open without delete sharing.
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
# status WANTED ARGS...: the exit status, and one line on standard error naming the problem.
status() {
    local wanted=$1
    shift
    report "$@" >/dev/null
    local got=$?
    [ "$got" -eq "$wanted" ] || fail "$* exited $got, expected $wanted"
    [ -s err ] || fail "$* said nothing on standard error"
}

for line in 'Sun Feb 18 00:29:21 2024' 'Sun Feb 18 00:29:52 2024' 'Sun Feb 18 00:30:2' \
    'Sun Feb 18 00:30:54 2024' '(time unavailable)' 'Sun Feb 18 23:59:40 2024' \
    'Mon Feb 19 00:00:11 2024' 'Mon Feb 19 00:00:09 2024' 'Fri Mar 01 09:05:00 2024'; do
    printf 'internet connection test failed on %s\r\n' "$line"
done >log.txt
printf 'hello\r\n' >>log.txt
# Without the watcher's record no cause, no stop and no UTC time: the log does not say its zone.
expected='start,end,failed_checks,seconds,cause,stopped_after,start_utc,end_utc
2024-02-18T00:29:21,2024-02-18T00:30:54,3,93,,,,
2024-02-18T23:59:40,2024-02-19T00:00:11,2,31,,,,
2024-02-19T00:00:09,2024-02-19T00:00:09,1,0,,,,
2024-03-01T09:05:00,2024-03-01T09:05:00,1,0,,,,'

[ "$(report log.txt --csv -)" = "$expected" ] || fail "CSV: $(report log.txt --csv -)"
# Standard input read as bytes: a Ctrl+Z at its start ends nothing (text mode would stop there).
[ "$({ printf '\x1a\r\n'; cat log.txt; } | report - --csv -)" = "$expected" ] ||
    fail "CSV from standard input differs"
summary=$(report log.txt --gap 31) || fail "summary exit status $?"
for figure in 'Failed checks     8 \(1 of them without a time\)' 'Outages           5 ' \
    'Skipped           2 lines \(not in the monitor.s form: lines 3, 10\)' \
    'Time went back    1 time \(first at line 8\)'; do
    [[ $summary =~ $figure ]] || fail "summary lacks '$figure': $summary"
done
report log.txt --html page.html --csv table.csv >/dev/null || fail "writing files: $(cat err)"
[ "$(tr -d '\r' <table.csv)" = "$expected" ] && grep -q '<svg class="track"' page.html ||
    fail "the files written differ from the outputs"

# --open hands the written page to the desktop: ShellExecuteW (Wine's passes an .html file on to
# xdg-open once the prefix names winebrowser for it), or xdg-open on Linux. A stand-in xdg-open
# notes what it was given. First the failure: no association under Wine, a failing xdg-open here.
mkdir desktop
printf '#!/bin/sh\necho "$1" >"%s/opened"\nexit ${BROWSER_STATUS:-0}\n' "$PWD" >desktop/xdg-open
chmod +x desktop/xdg-open
if [[ ${command[0]} == *wine* ]]; then
    wine_run=("${command[@]:0:${#command[@]}-1}")
    "${wine_run[@]}" reg delete 'HKCR\.html' /f >/dev/null 2>&1
fi
BROWSER_STATUS=3 PATH=$PWD/desktop:$PATH report log.txt --html open.html --open >/dev/null
[ $? -eq 1 ] && grep -q 'cannot open open.html in the browser' err && grep -q '</html>' open.html &&
    ! grep -q '%1' err || fail "a page no browser opened: $(cat err)"
if [[ ${command[0]} == *wine* ]]; then
    "${wine_run[@]}" reg add 'HKCR\.html' /ve /d htmlfile /f >/dev/null &&
        "${wine_run[@]}" reg add 'HKCR\htmlfile\shell\open\command' /ve /d 'winebrowser "%1"' /f >/dev/null
fi
rm -f opened
PATH=$PWD/desktop:$PATH report log.txt --html open.html --open >/dev/null || fail "--open: $(cat err)"
for _ in $(seq 100); do [ -s opened ] && break; sleep 0.05; done # Windows' shell opens in its own time
grep -q 'open.html' opened 2>/dev/null || fail "--open did not hand open.html to the browser"

# A reader that has gone away before the first write costs neither the files nor an error message.
rm -f table.csv page.html
perl -e 'pipe(my $reader, my $writer) or die; close $reader; open(STDOUT, ">&", $writer) or die;
    exec @ARGV or die' "${command[@]}" log.txt --csv table.csv --html page.html 2>err
gone=$?
[ "$gone" -eq 0 ] && [ ! -s err ] && [ -s table.csv ] && [ -s page.html ] ||
    fail "with no reader: status $gone, $(cat err)"

if [[ ${command[0]} != *wine* ]]; then
    # Standard output's own file, however it is spelt: written after what went there before,
    # through standard output itself, never truncated or replaced.
    ln -s /dev/stdout out-link
    "${command[@]}" log.txt --csv //dev/stdout --html out-link >both.txt
    grep -q '^Connectivity report' both.txt && grep -q '^start,end' both.txt &&
        grep -q '</html>' both.txt || fail "$(cat both.txt)"
    for instead in '--metrics -' '--html -'; do
        "${command[@]}" log.txt $instead --csv /proc/self/fd/1 >both.txt
        grep -q '^start,end' both.txt && grep -qE '^connectivity_outages_total|</html>' both.txt ||
            fail "$instead --csv /proc/self/fd/1 kept: $(cat both.txt)"
    done
    cp log.txt kept.txt
    "${command[@]}" log.txt >>log.txt 2>err
    [ $? -eq 2 ] && cmp -s log.txt kept.txt || fail "standard output appending to the log"
    status 2 log.txt --html /dev/stdout --open
    status 1 log.txt --csv /proc/self/status
    grep -q 'temporary' err || [ "$(id -u)" -ne 0 ] || fail "a folder that takes no file: $(cat err)"
else
    # Windows: the null device, names outside the ANSI code page, a log named like an option.
    report log.txt --csv NUL >/dev/null || fail "--csv NUL: $(cat err)"
    cp log.txt 'März 日本語.txt'
    report 'März 日本語.txt' --html page.html >/dev/null || fail "a Unicode log name: $(cat err)"
    grep -q 'März 日本語.txt' page.html || fail "the page does not name the log in UTF-8"
    report /csv:x.csv >/dev/null
    [ $? -eq 1 ] && grep -q 'no log at .*csv:x.csv' err || fail "/csv:x.csv was taken for an option: $(cat err)"
    # Names the file system holds for one file, whatever their case.
    status 2 log.txt --csv OUT.txt --html out.txt
    [ -z "$(ls | grep -i '^out.txt$')" ] || fail "a case clash left $(ls)"
    if [ -n "${HOLDER-}" ]; then
        echo old >held.csv
        "${command[@]:0:${#command[@]}-1}" "$HOLDER" hold-no-delete held.csv holding release &
        for _ in $(seq 600); do [ -e holding ] && break; sleep 0.05; done
        report log.txt --csv held.csv >/dev/null
        held=$?
        touch release
        wait
        [ "$held" -eq 1 ] && grep -q 'cannot write held.csv' err && [ "$(tr -d '\r' <held.csv)" = old ] ||
            fail "a file held open: status $held, $(cat err), now $(cat held.csv)"
        [ -z "$(ls -A | grep tmp)" ] || fail "a temporary was left: $(ls -A)"
    fi
fi
: >empty.txt
[[ $(report empty.txt) =~ "No failed checks" ]] || fail "an empty log: $(report empty.txt)"
printf 'internet connection test failed on (time unavailable)\r\n' >untimed.txt
[[ $(report untimed.txt) != *"No failed checks"* ]] || fail "an untimed failed check taken for none"

status 1 missing.txt
grep -q '^connectivity-report: no log at .*missing.txt (.*)\. The monitor creates its log in the folder it runs in at its first check, so none has run in ' err &&
    [ "$(wc -l <err)" -eq 1 ] || fail "no log yet: $(cat err)"
if [ ${#command[@]} -gt 1 ]; then # under Wine: Windows' own words, not the C library's
    ! grep -q 'No such file or directory' err || fail "no log yet, in the C library's words: $(cat err)"
else # the user service's log, where it is: the words say how to read it
    mkdir -p home/.local/state/connectivity-monitor
    cp log.txt home/.local/state/connectivity-monitor/connectivityLog.txt
    HOME=$PWD/home report missing.txt >/dev/null
    grep -q "; read that log with: connectivity-report \"$PWD/home/.local/state/connectivity-monitor/connectivityLog.txt\"\.$" err ||
        fail "the user service's log not named: $(cat err)"
fi
# Some other file: refused, and nothing written that would say the line never failed.
printf '2024-02-12T07:00:00+01:00 started os=linux monitor=2\r\nroot:x:0:0:root:/root:/bin/bash\r\n' >other.txt
status 1 other.txt --html other.html --metrics other.prom
grep -q 'other.txt is not a connectivity log: none of its 2 lines is a failed check' err &&
    [ ! -e other.html ] && [ ! -e other.prom ] || fail "not a log: $(cat err; ls)"
status 1 log.txt --csv no-such-folder/out.csv
[ ! -e no-such-folder ] || fail "a failed output left something behind"
status 2 log.txt --gap -5
status 2 log.txt --no-such-option
status 2 log.txt --csv - --html -
grep -q '^usage: connectivity-report' err || fail "a usage error without the usage: $(cat err)"
for gap in 0x10 1e3 '' +5; do
    status 2 log.txt --gap "$gap"
done
[[ $(report log.txt --gap 010) =~ 'at most 10 s apart' ]] || fail "--gap 010 is not ten seconds"
status 2 log.txt --csv ''
for open in '' '--html -'; do
    status 2 log.txt $open --open
done
# One day selected: the outages that began on it; days with none say so.
[ "$(report log.txt --since 2024-02-18 --until 2024-02-18 --csv - | wc -l)" -eq 3 ] ||
    fail "one day: $(report log.txt --since 2024-02-18 --until 2024-02-18 --csv -)"
[[ $(report log.txt --since 2024-02-20 --until 2024-02-29) == *'No failed checks in the days selected.'* ]] ||
    fail "days without a failed check: $(report log.txt --since 2024-02-20 --until 2024-02-29)"
for date in 2024-02-30 ---------- -024-02-10 12-4-02-10 ''; do
    status 2 log.txt --since "$date"
done

# The watcher's record beside the log is read; one named that cannot be read is said, and the
# report goes on with the log alone; one read from standard input only when named.
printf '2024-02-18T00:29:00+01:00 started version=1 os=windows watcher=1 monitor=2\r\n' >connectivityWatch.txt
printf '2024-02-18T00:30:10+01:00 diagnosis check="Sun Feb 18 00:29:21 2024" verdict=dns path=none\r\n' >>connectivityWatch.txt
printf '2024-02-18T00:33:00+01:00 stopped\r\n' >>connectivityWatch.txt
[[ $(report log.txt --csv -) == *'2024-02-18T00:29:21,2024-02-18T00:30:54,3,93,dns'* ]] ||
    fail "the record beside the log: $(report log.txt --csv -)"
[[ $(cd desktop && report ../log.txt --csv -) == *',93,dns'* ]] ||
    fail "the record beside a log in another folder: $(cd desktop && report ../log.txt --csv -)"
[ "$(report log.txt --no-watch-record --csv -)" = "$expected" ] || fail "--no-watch-record"
[ "$(report - --csv - <log.txt)" = "$expected" ] || fail "standard input took the record beside it"
[[ $(report - --watch-record connectivityWatch.txt --csv - <log.txt) == *',93,dns'* ]] ||
    fail "--watch-record with standard input"
summary=$(report log.txt --watch-record missing.txt) || fail "a missing record failed the report"
grep -q "cannot read the watcher's record missing.txt" err && [[ $summary == *"could not be read"* ]] ||
    fail "a record that cannot be read: $(cat err) / $summary"
status 2 log.txt --csv connectivityWatch.txt
status 2 log.txt --watch-record ''
rm connectivityWatch.txt

# The log is never an output, nor two outputs one file: refused before anything is written.
cp log.txt before.txt
ln -s log.txt log-link.txt
for clash in '--html log.txt' '--csv log-link.txt' '--csv a.csv --html ./a.csv'; do
    status 2 log.txt $clash
    cmp -s log.txt before.txt && [ ! -e a.csv ] || fail "$clash touched a file"
done
# Wine cannot say which file a standard input inherited from Linux is; Windows itself can.
if [[ ${command[0]} != *wine* ]]; then
    status 2 - --metrics log.txt <log.txt
fi
echo "PASS: figures, CSV, files and exit statuses"
