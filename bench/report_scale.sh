#!/usr/bin/env bash
# The report on a 1,000,000-line log (about 60 MB) beside `wc -l` on the same file: best of three
# runs each, the ratio (goal: at most 10) and the report's peak memory.
# usage: report_scale.sh REPORT [LINES]
set -euo pipefail
report=$(realpath "$1")
lines=${2:-1000000}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (make bench installs it)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Failed checks 31 s apart with a longer break every 100, a typed line every 50,000: many outages.
TZ=UTC perl -MPOSIX=strftime -e '
    my ($n, $t) = ($ARGV[0], 1700000000);
    for my $i (1 .. $n) {
        if ($i % 50000 == 0) { print "someone typed here\n"; next }
        $t += ($i % 100 == 0) ? 3600 : 31;
        my @tm = localtime $t;
        printf "internet connection test failed on %s%2d%s\n",
            strftime("%a %b ", @tm), $tm[3], strftime(" %H:%M:%S %Y", @tm);
    }' "$lines" >"$work/log.txt"

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

cat "$work/log.txt" >/dev/null # both start from the page cache
floor=$(best wc -l "$work/log.txt")
took=$(best "$report" "$work/log.txt")
/usr/bin/time -f '%M' -o "$work/kib" "$report" "$work/log.txt" --csv "$work/out.csv" >/dev/null
outages=$(($(wc -l <"$work/out.csv") - 1))
echo "$lines lines, $(du -m "$work/log.txt" | cut -f1) MB, $outages outages, on $(nproc) cores, $(date -u +%Y-%m-%d)"
awk -v f="$floor" -v t="$took" -v k="$(tail -1 "$work/kib")" 'BEGIN {
    printf "%-32s %8.3f s\n", "wc -l (floor)", f
    printf "%-32s %8.3f s   %.1fx the floor (goal: at most 10x)\n", "connectivity-report summary", t, t / f
    printf "%-32s %8d KiB\n", "report peak memory (with --csv)", k
}'
