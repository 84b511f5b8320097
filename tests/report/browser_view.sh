#!/usr/bin/env bash
# The HTML page in a real browser: headless Chromium renders the sample log's page, wide and
# narrow, and the outage marks must be on the screen. Optionally keeps the wide screenshot.
# Chromium runs in a private network namespace: it reaches out to update and account hosts
# even for a local file, and no test may touch the Internet.
# usage: browser_view.sh REPORT SAMPLE_LOG [SCREENSHOT.png]
set -u
report=$1
sample=$2
for tool in chromium convert; do
    command -v "$tool" >/dev/null || {
        echo "SKIP: $tool is not installed (Debian's chromium and imagemagick; make test tries to install them)"
        exit 77
    }
done
source "$(dirname "$0")/../e2e/isolation.sh"

"$report" "$sample" --html "$scratch/page.html" >/dev/null || fail "the report failed"
# The mark colour of the page's stylesheet; its pixels are the outages drawn.
mark='#c62828'
for size in 1000,1100 420,1400; do
    timeout 120 "${isolate[@]}" chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$scratch/profile" --hide-scrollbars --window-size="$size" \
        --screenshot="$scratch/shot.png" "file://$scratch/page.html" >/dev/null 2>&1 ||
        fail "chromium could not render the page at $size"
    pixels=$(convert "$scratch/shot.png" -fill black -opaque "$mark" -fill white +opaque black \
        -negate -format '%[fx:round(w*h*mean)]' info:)
    [ "$pixels" -ge 200 ] || fail "at $size the timeline shows $pixels pixels of outage marks"
    echo "window $size: $pixels pixels of outage marks"
    [ "$size" = 1000,1100 ] && [ -n "${3-}" ] && cp "$scratch/shot.png" "$3"
done
echo "PASS: the timeline renders in Chromium"
