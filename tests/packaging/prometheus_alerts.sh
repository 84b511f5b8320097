#!/usr/bin/env bash
# The alerting rules the packages ship: promtool checks them and runs their unit tests, checks the
# report's metrics as Prometheus' linter reads them, and a real Prometheus scraping a real node
# exporter that serves the report's metrics file, on loopback in a private network namespace,
# sees the loss alert fire (its 15 minutes shortened to a few seconds).
# usage: prometheus_alerts.sh RULES_FOLDER REPORT PROMETHEUS_BIN_FOLDER NODE_EXPORTER
set -u
rules=$(realpath "$1")
report=$2
tools=$3
exporter=$4
for program in "$tools/promtool" "$tools/prometheus" "$exporter"; do
    [ -x "$program" ] || {
        echo "SKIP: no $program (make test unpacks Debian's prometheus and prometheus-node-exporter)"
        exit 77
    }
done
source "$(dirname "$0")/../e2e/isolation.sh"

"$tools/promtool" check rules "$rules/connectivity.rules.yml" >"$scratch/out" 2>&1 &&
    (cd "$rules" && "$tools/promtool" test rules connectivity.rules.test.yml) >>"$scratch/out" 2>&1 ||
    fail "the rules: $(cat "$scratch/out")"

# A record whose last windows lost 20% past the edge, and a log: the metrics a site would serve.
mkdir "$scratch/site" "$scratch/textfile"
{
    echo '2026-12-09T19:00:00+01:00 started version=1 os=linux watcher=1 monitor=2'
    for end in 05 10 15; do
        echo "2026-12-09T19:$end:00+01:00 quality span=300s ipv4-gateway=30/30/0.4/0.4/0.5/0.6/0.9/0.1 ipv4-internet=30/24/11.0/11.5/13.0/15.0/22.0/1.5 degraded=ipv4-internet name=20ms"
    done
} >"$scratch/site/connectivityWatch.txt"
echo 'internet connection test failed on Wed Dec  9 19:01:00 2026' >"$scratch/site/connectivityLog.txt"
"$report" "$scratch/site/connectivityLog.txt" --metrics "$scratch/textfile/connectivity.prom" >/dev/null ||
    fail "the report failed"
"$tools/promtool" check metrics <"$scratch/textfile/connectivity.prom" >"$scratch/out" 2>&1 ||
    fail "promtool check metrics: $(cat "$scratch/out")"

sed 's/for: 15m/for: 2s/' "$rules/connectivity.rules.yml" >"$scratch/rules.yml"
cat >"$scratch/prometheus.yml" <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: [rules.yml]
scrape_configs:
  - job_name: sites
    static_configs: [{targets: ['127.0.0.1:9100'], labels: {instance: flat3}}]
EOF
# Both servers and the questions asked of Prometheus in one private network namespace.
"${isolate[@]}" bash -c '
    ip link set lo up 2>/dev/null || exit 3
    "$1" --collector.disable-defaults --collector.textfile --collector.textfile.directory="$2" \
        --web.listen-address=127.0.0.1:9100 >/dev/null 2>&1 &
    "$3" --config.file="$4/prometheus.yml" --storage.tsdb.path="$4/data" \
        --web.listen-address=127.0.0.1:9090 >"$4/prometheus.log" 2>&1 &
    trap "kill \$(jobs -p) 2>/dev/null; wait" EXIT
    for _ in $(seq 120); do
        if exec 3<>/dev/tcp/127.0.0.1/9090; then
            printf "GET /api/v1/alerts HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" >&3
            timeout 5 cat <&3 >"$4/alerts"
            exec 3>&-
            grep -q "\"alertname\":\"ConnectivityLoss\".*\"state\":\"firing\"" "$4/alerts" && exit 0
        fi 2>/dev/null
        sleep 0.5
    done
    exit 4' _ "$exporter" "$scratch/textfile" "$tools/prometheus" "$scratch" ||
    fail "no loss alert fired: status $?: $(tail -c 600 "$scratch/alerts" 2>/dev/null; tail -3 "$scratch/prometheus.log")"
echo "PASS: the rules, their unit tests, the metrics' lint, and the loss alert firing in Prometheus"
