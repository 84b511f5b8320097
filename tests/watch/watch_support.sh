# Sourced by the watcher's end-to-end scripts: a scratch folder with a program folder and a log
# folder in it, and ways to append to the log and wait for the record.
scratch=$(mktemp -d)
mkdir "$scratch/program" "$scratch/log"
record=$scratch/log/connectivityWatch.txt

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The watcher beside a monitor that only waits: the record then holds only what the test causes.
program_folder_with_stub_monitor() {
    cp "$watcher" "$scratch/program/connectivity-watch"
    printf '#!/bin/sh\nexec sleep 1000000\n' >"$scratch/program/connectivity-monitor"
    chmod +x "$scratch/program/connectivity-monitor"
}

# await_line TEXT SECONDS [COUNT]: whether the record holds COUNT (1) lines holding TEXT in time.
await_line() {
    local tries found
    for ((tries = 0; tries < $2 * 20; tries++)); do
        found=$(grep -cF -- "$1" "$record" 2>/dev/null)
        [ "${found:-0}" -ge "${3:-1}" ] && return 0
        sleep 0.05
    done
    return 1
}

# log_check TIME_TEXT: a failed check appended to the log, as the monitor writes it.
log_check() {
    printf 'internet connection test failed on %s\n' "$1" >>"$scratch/log/connectivityLog.txt"
}
