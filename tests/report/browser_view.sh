#!/usr/bin/env bash
# The HTML page in a real browser: headless Chromium renders the sample log's page with its
# watcher's record, wide and narrow; the outage marks and the hatched unwatched time must be on
# the screen, nothing may scroll sideways on a phone 420 pixels wide, and it prints on A4.
# Optionally keeps the wide screenshot.
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
# Tall enough for the timeline below the figures, the causes and what they mean.
for size in 1000,2200 420,4000; do
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
    [ "$size" = 1000,2200 ] && [ -n "${4-}" ] && cp "$scratch/shot.png" "$4"
done
# 420 pixels wide, in a frame (a headless window is never narrower than 500): the widest element
# measured by a script added to a copy of the page, the page itself having none.
chrome() { timeout 120 "${isolate[@]}" chromium --headless --no-sandbox --disable-gpu --no-first-run \
    --disable-background-networking --user-data-dir="$scratch/profile" "$@" 2>/dev/null; }
sed 's#</head>#<script>addEventListener("load", () => parent.postMessage(Math.max(...[...document.querySelectorAll("body *")].map(e => Math.ceil(e.getBoundingClientRect().right))) - innerWidth, "*"))</script></head>#' \
    "$scratch/page.html" >"$scratch/measured.html"
printf '%s' '<!DOCTYPE html><body><iframe src="measured.html" style="width:420px;height:900px"></iframe>
<script>addEventListener("message", e => document.body.dataset.widest = e.data)</script></body>' \
    >"$scratch/phone.html"
# How far the widest element passes the frame's width: nothing, on a page that never scrolls sideways.
beyond=$(chrome --virtual-time-budget=5000 --dump-dom "file://$scratch/phone.html" | sed -n 's/.*data-widest="\(-*[0-9]*\)".*/\1/p')
[ -n "$beyond" ] && [ "$beyond" -le 0 ] || fail "420 pixels wide, the page passes its width by ${beyond:-nothing measured} pixels"
chrome --no-pdf-header-footer --print-to-pdf="$scratch/page.pdf" "file://$scratch/page.html" >/dev/null
grep -aq '/MediaBox \[0 0 594.9[0-9]* 841.9[0-9]*\]' "$scratch/page.pdf" || fail "not printed on A4"
# On paper the folded evidence is printed whole: the page prints longer than a copy without it.
sed 's#<details>.*</details>##' "$scratch/page.html" >"$scratch/bare.html"
chrome --no-pdf-header-footer --print-to-pdf="$scratch/bare.pdf" "file://$scratch/bare.html" >/dev/null
pages() { grep -ac '/Type /Page$' "$1"; }
[ "$(pages "$scratch/page.pdf")" -gt "$(pages "$scratch/bare.pdf")" ] ||
    fail "the evidence is not printed: $(pages "$scratch/page.pdf") pages, $(pages "$scratch/bare.pdf") without it"
echo "420 pixels wide: the widest element ends $((-beyond)) pixels short of the edge; printed on A4, $(pages "$scratch/page.pdf") pages ($(pages "$scratch/bare.pdf") without the evidence)"
echo "PASS: the timeline renders in Chromium"
