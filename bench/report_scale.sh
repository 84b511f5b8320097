#!/usr/bin/env bash
# The report's cost beside `wc -l` on the same file (best of three runs each), for logs shaped to
# find anything worse than linear: a million lines with many outages, one check a day for 80,000
# days, ten years with one outage a day (the page's size and Chromium's time to render it beside
# an empty page), a thousand checks joined into outages of years by the longest --gap, the ten
# years again with ten years of the watcher's record, and of its quality lines, and a record whose
# offset flips at every line.
# usage: report_scale.sh REPORT [LINES]
set -euo pipefail
report=$(realpath "$1")
lines=${2:-1000000}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (make bench installs it)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# log FILE STEP_PERL: one monitor line per time the Perl expression yields (from $i and $t).
log() {
    TZ=UTC perl -MPOSIX=strftime -e '
        my ($n, $t, $step) = ($ARGV[0], 1700000000, $ARGV[1]);
        for my $i (1 .. $n) {
            my $line = eval $step;
            if ($line eq "typed") { print "someone typed here\n"; next }
            my @tm = localtime $t;
            printf "internet connection test failed on %s%2d%s\n",
                strftime("%a %b ", @tm), $tm[3], strftime(" %H:%M:%S %Y", @tm);
        }' "$2" "$3" >"$1"
}

# best COMMAND...: the shortest wall time of three runs, in seconds.
best() {
    local fastest=
    for _ in 1 2 3; do
        local started ended
        started=$(date +%s.%N)
        "$@" >/dev/null
        ended=$(date +%s.%N)
        fastest=$(awk -v a="$fastest" -v b="$(awk -v s="$started" -v e="$ended" 'BEGIN { print e - s }')" \
            'BEGIN { print (a == "" || b < a) ? b : a }')
    done
    echo "$fastest"
}

# row LABEL LOG [OPTIONS...]: the report writing its page beside wc -l, its memory and page size.
row() {
    local label=$1 file=$2
    shift 2
    cat "$file" >/dev/null # both start from the page cache
    local floor took
    floor=$(best wc -l "$file")
    took=$(best "$report" "$file" --html "$work/page.html" "$@")
    /usr/bin/time -f '%M' -o "$work/kib" "$report" "$file" --html "$work/page.html" "$@" >/dev/null
    awk -v l="$label" -v f="$floor" -v t="$took" -v k="$(tail -1 "$work/kib")" \
        -v p="$(stat -c %s "$work/page.html")" 'BEGIN {
        printf "%-34s %8.3f s %8.3f s %6.1fx %8d KiB %9.2f MB\n", l, t, f, t / f, k, p / 1e6 }'
}

echo "on $(nproc) cores, $(date -u +%Y-%m-%d); goal: at most 10x wc -l, memory and page linear"
printf '%-34s %10s %10s %7s %12s %12s\n' "log" "report" "wc -l" "ratio" "peak memory" "page"
# Failed checks 31 s apart with a longer break every 100, a typed line every 50,000.
log "$work/million.txt" "$lines" '$i % 50000 == 0 ? "typed" : ($t += ($i % 100 == 0) ? 3600 : 31)'
row "$lines lines, $(($(wc -l <"$work/million.txt") / 100)) outages" "$work/million.txt"
log "$work/daily.txt" 80000 '$t += 86400'
row "one check a day, 80,000 days" "$work/daily.txt"
log "$work/decade.txt" 36500 '$t += ($i % 10 == 0) ? 86400 - 270 : 30'
row "ten years, one outage a day" "$work/decade.txt"
log "$work/years.txt" 1000 '$t += 86400 * 300'
row "1,000 checks, --gap 31622400" "$work/years.txt" --gap 31622400

# The ten-year log with ten years of the watcher's record: a still-watching line every five
# minutes, a diagnosis of each failed check, a night asleep every week. wc -l reads both files.
TZ=UTC perl -MPOSIX=strftime -e '
    my ($log) = @ARGV;
    open(my $checks, "<", $log) or die;
    my @checks = map { /on (.*)$/ ? $1 : () } <$checks>;
    my ($t, $end, $next) = (1700000000 - 300, 1700000000 + 3650 * 86400, 0);
    sub stamp { strftime("%Y-%m-%dT%H:%M:%S+00:00", gmtime($_[0])) }
    print stamp($t), " started version=1.1.0 os=linux watcher=1 monitor=2\n";
    for (my $i = 1; $t < $end; $i++) {
        $t += 300;
        if ($i % 2016 == 0) { # weekly: asleep for eight hours
            print stamp($t + 8 * 3600), " asleep from=", stamp($t), " for=28800s\n";
            $t += 8 * 3600;
            next;
        }
        print stamp($t), " watching\n";
        for (; $next < @checks && $next < $i * 36500 / 1051200; $next++) {
            print stamp($t), " diagnosis check=\"$checks[$next]\" verdict=provider took=9.0s ",
                "local=\"ipv4: 10.0.0.1 answers an ICMP echo in 1 ms\" dns=\"10.0.0.1: silent\" path=none\n";
        }
    }' "$work/decade.txt" >"$work/record.txt"
# recorded LABEL LOG RECORD: as row, with the record read too; wc -l reads both files.
recorded() {
    cat "$3" "$2" >"$work/both.txt"
    cat "$work/both.txt" >/dev/null
    local floor took
    floor=$(best wc -l "$work/both.txt")
    took=$(best "$report" "$2" --watch-record "$3" --html "$work/page.html")
    /usr/bin/time -f '%M' -o "$work/kib" "$report" "$2" --watch-record "$3" --html "$work/page.html" >/dev/null
    awk -v l="$1" -v f="$floor" -v t="$took" -v k="$(tail -1 "$work/kib")" \
        -v p="$(stat -c %s "$work/page.html")" 'BEGIN {
        printf "%-34s %8.3f s %8.3f s %6.1fx %8d KiB %9.2f MB\n", l, t, f, t / f, k, p / 1e6 }'
}
recorded "ten years, with $(($(wc -l <"$work/record.txt") / 1000))k record lines" "$work/decade.txt" "$work/record.txt"
echo "goal for the ten years with their record: under 1 s, and the page under 5 MB"
# The same ten years with the watcher sampling: a quality line of both segments in place of each
# still-watching line, about a million of them.
sed 's/ watching$/ quality span=300s ipv4-gateway=30\/30\/0.5\/0.6\/0.7\/0.9\/1.2\/0.1 ipv4-internet=30\/29\/7.7\/8.7\/9.6\/12.5\/17.6\/0.8 name=13ms/' \
    "$work/record.txt" >"$work/quality.txt"
recorded "ten years, $(($(grep -c ' quality ' "$work/quality.txt") / 1000))k quality lines" "$work/decade.txt" "$work/quality.txt"
echo "goal for the ten years of quality lines: under 10x wc -l, memory under 100 MB, the page under 10 MB"

# A check every 30 s for 100,000 checks, with a record line beside each whose offset from UTC
# changes at every line (a flip each), then once only: placing the log's local times costs the
# same either way.
log "$work/flips.txt" 100000 '$t += 30'
for flips in every once; do
    TZ=UTC perl -MPOSIX=strftime -e '
        my ($n, $every) = ($ARGV[0], $ARGV[1] eq "every");
        for my $i (0 .. $n) {
            my $offset = ($every ? $i % 2 : $i > $n / 2) ? 3600 : 0;
            my $t = 1700000000 + 30 * $i - 15;
            print strftime("%Y-%m-%dT%H:%M:%S", gmtime($t + $offset)),
                sprintf("+%02d:00", $offset / 3600), $i ? " watching\n" : " started os=linux\n";
        }' 100000 "$flips" >"$work/flips-record.txt"
    recorded "100,000 checks, offset flips: $flips" "$work/flips.txt" "$work/flips-record.txt"
done

# The ten-year page in headless Chromium, offline in a private network namespace, beside an
# empty page: the difference is the page's own rendering.
if command -v chromium >/dev/null && unshare -n true 2>/dev/null; then
    "$report" "$work/decade.txt" --html "$work/decade.html" >/dev/null
    echo '<!DOCTYPE html><title>empty</title>' >"$work/empty.html"
    render() {
        unshare -n chromium --headless --no-sandbox --disable-gpu --no-first-run \
            --disable-background-networking --disable-component-update --disable-sync \
            --user-data-dir="$work/profile" --window-size=1000,1100 \
            --screenshot="$work/shot.png" "file://$1" >/dev/null 2>&1
    }
    empty=$(best render "$work/empty.html")
    page=$(best render "$work/decade.html")
    awk -v e="$empty" -v p="$page" -v s="$(stat -c %s "$work/decade.html")" 'BEGIN {
        printf "Chromium, ten-year page (%.2f MB): %.2f s, empty page %.2f s, the page itself %.2f s (goal: under 2 s)\n",
            s / 1e6, p, e, p - e }'
else
    echo "Chromium render skipped: needs chromium and a private network namespace"
fi
