# Sourced by the end-to-end scripts: a private network namespace, so the monitor's probes never
# leave this machine and always fail, and a scratch folder removed on exit.
isolate=()
if unshare -n true 2>/dev/null; then
    isolate=(unshare -n)
elif unshare -rn true 2>/dev/null; then
    isolate=(unshare -rn)
else
    echo "SKIP: no private network namespace (needs root or unprivileged user namespaces);" \
        "without one the monitor would probe the real Internet"
    exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/run"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

log_line_pattern='internet connection test failed on (Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}'
