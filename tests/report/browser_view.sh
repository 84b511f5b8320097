#!/usr/bin/env bash
# The HTML page in a real browser: headless Chromium renders the sample log's page with its
# watcher's record, wide and narrow; the outage marks and the hatched unwatched time must be on
# the screen. Optionally keeps the wide screenshot.
# Chromium runs in a private network namespace: it reaches out to update and account hosts
# even for a local file, and no test may touch the Internet.
# usage: browser_view.sh REPORT SAMPLE_LOG SAMPLE_RECORD [SCREENSHOT.png]
set -u
report=$1
sample=$2
record=$3
for tool in chromium convert; do
    command -v "$tool" >/dev/null || {
        echo "SKIP: $tool is not installed (Debian's chromium and imagemagick; make test tries to install them)"
        exit 77
    }
done
source "$(dirname "$0")/../e2e/isolation.sh"

"$report" "$sample" --watch-record "$record" --html "$scratch/page.html" >/dev/null ||
    fail "the report failed"
# The colour of the provider's marks, and of the hatching's ground: the outages and the
# unwatched time drawn.
# pixels COLOUR: how many of the screenshot's pixels have it.
pixels() {
    convert "$scratch/shot.png" -fill black -opaque "$1" -fill white +opaque black \
        -negate -format '%[fx:round(w*h*mean)]' info:
}
for size in 1000,1100 420,1400; do
    timeout 120 "${isolate[@]}" chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$scratch/profile" --hide-scrollbars --window-size="$size" \
        --screenshot="$scratch/shot.png" "file://$scratch/page.html" >/dev/null 2>&1 ||
        fail "chromium could not render the page at $size"
    marks=$(pixels '#c62828')
    hatching=$(pixels '#e4e4e4')
    [ "$marks" -ge 200 ] && [ "$hatching" -ge 200 ] ||
        fail "at $size the timeline shows $marks pixels of outage marks, $hatching of hatching"
    echo "window $size: $marks pixels of outage marks, $hatching of hatching"
    [ "$size" = 1000,1100 ] && [ -n "${4-}" ] && cp "$scratch/shot.png" "$4"
done
echo "PASS: the timeline renders in Chromium"
