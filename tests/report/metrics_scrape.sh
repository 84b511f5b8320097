#!/usr/bin/env bash
# The report's --metrics file served by a real node exporter's textfile collector, on loopback in
# a private network namespace: the scraped figures are those the summary prints, and the file
# parses (node_textfile_scrape_error 0).
# usage: metrics_scrape.sh REPORT SAMPLE_LOG NODE_EXPORTER [SAMPLE_RECORD]
set -u
report=$1
sample=$2
exporter=$3
record=${4-}
[ -x "$exporter" ] || {
    echo "SKIP: no node exporter at $exporter (make test unpacks Debian's prometheus-node-exporter there)"
    exit 77
}
source "$(dirname "$0")/../e2e/isolation.sh"
mkdir "$scratch/textfile"
TZ=UTC "$report" "$sample" --metrics "$scratch/textfile/connectivity.prom" >"$scratch/summary" ||
    fail "the report failed"

# scrape FOLDER: what the exporter serves of a textfile folder, run with its scrape in one private
# network namespace with loopback up; the exporter ends with the scrape.
scrape() {
"${isolate[@]}" bash -c '
    ip link set lo up 2>/dev/null || exit 3
    "$1" --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$2" --web.listen-address=127.0.0.1:9100 \
        >/dev/null 2>&1 &
    exporter=$!
    trap "kill \$exporter 2>/dev/null; wait \$exporter" EXIT
    for _ in $(seq 100); do
        if exec 3<>/dev/tcp/127.0.0.1/9100; then
            printf "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" >&3
            timeout 10 cat <&3
            exit 0
        fi 2>/dev/null
        sleep 0.1
    done
    exit 4' _ "$exporter" "$1" >"$scratch/scraped" || fail "no scrape: status $?"
    ! pgrep -f -- "--collector.textfile.directory=$1" >/dev/null || fail "the node exporter outlived its scrape"
}
scrape "$scratch/textfile"

# value NAME: the scraped value, as a plain number.
value() { awk -v n="$1" '$1 == n { printf "%.0f", $2 }' "$scratch/scraped"; }
# figure LABEL: the first number after a figure's label in the summary.
figure() { sed -n "s/^$1 *\([0-9]*\).*/\1/p" "$scratch/summary"; }
seconds() { # the summary's "1h 01m 29s" as seconds
    sed -n "s/^$1 *//p" "$scratch/summary" | sed 's/ (.*//' |
        awk '{ s = 0; for (i = 1; i <= NF; i++) { n = $i + 0; u = substr($i, length($i));
            s += n * (u == "d" ? 86400 : u == "h" ? 3600 : u == "m" ? 60 : 1) } print s }'
}

[ "$(value node_textfile_scrape_error)" = 0 ] || fail "the exporter could not parse the file"
[ "$(value connectivity_failed_checks_total)" = "$(figure 'Failed checks')" ] &&
    [ "$(value connectivity_outages_total)" = "$(figure Outages)" ] &&
    [ "$(value connectivity_untimed_failed_checks_total)" = 1 ] &&
    [ "$(value connectivity_log_skipped_lines)" = 0 ] &&
    [ "$(value connectivity_longest_outage_seconds)" = "$(seconds 'Longest outage')" ] &&
    [ "$(value connectivity_outage_seconds_total)" = "$(seconds 'Total span')" ] ||
    fail "scraped figures differ from the summary: $(grep '^connectivity' "$scratch/scraped")"
# The last failed check of the sample, Sun Feb 18 12:41:33 2024, read in TZ=UTC.
[ "$(value connectivity_last_failed_check_timestamp_seconds)" = 1708260093 ] ||
    fail "last failed check: $(value connectivity_last_failed_check_timestamp_seconds)"

# With the watcher's record: the outages by cause, every cause served, and the watched time.
if [ -n "$record" ]; then
    mkdir "$scratch/watched"
    "$report" "$sample" --watch-record "$record" --metrics "$scratch/watched/connectivity.prom" \
        >"$scratch/summary" || fail "the report with the record failed"
    scrape "$scratch/watched"
    [ "$(value node_textfile_scrape_error)" = 0 ] || fail "the exporter could not parse the causes"
    [ "$(grep -c '^connectivity_outages_total{cause=' "$scratch/scraped")" = 7 ] &&
        [ "$(awk '/^connectivity_outages_total\{/ { s += $2 } END { print s }' "$scratch/scraped")" = "$(figure Outages)" ] &&
        [ "$(value connectivity_watched_seconds_total)" -gt 0 ] ||
        fail "the figures by cause: $(grep '^connectivity' "$scratch/scraped")"
fi
echo "PASS: the node exporter serves the report's figures"
