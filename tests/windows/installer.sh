#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix on a private network: a silent install with
# the defaults, its files, shortcuts (read back with lnkinfo), registry entry and manifest; the
# shortcuts' own command lines run: the watcher and its monitor, started twice yet running once,
# the outage report on a seeded log, Stop monitoring; an upgrade that restarts the monitoring it
# stopped; choices and a custom folder kept by later installs; an uninstall while monitoring,
# waited for as the README says, that keeps the log folder and nothing else of ours; and an
# upgrade over an install from before the watcher (1.0.0), made in a folder of its own without the
# start at sign-in, its monitor running: the folder and the choice kept, that monitor ended and the
# watcher running in its place, without PowerShell (Wine's does nothing).
# usage: installer.sh WINE64 SETUP_EXE MONITOR_EXE
set -u
wine=$1
setup=$(realpath "$2")
for tool in lnkinfo wrestool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (liblnk-utils, icoutils)"; exit 77; }
done
source "$(dirname "$0")/../e2e/isolation.sh"
if [ "${1-}" != --inside ]; then # once, the whole run in the private network namespace
    rm -rf "$scratch"
    exec "${isolate[@]}" bash "$0" --inside "$wine" "$setup" "$(realpath "$3")"
fi
wine=$2
setup=$3
monitor=$4
# A home of its own too: a new prefix links Documents and Desktop to the home folder.
mkdir "$scratch/home"
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' TMPDIR=$scratch \
    HOME=$scratch/home
server=$(dirname "$wine")/wineserver
trap '"$server" -k 2>/dev/null; rm -rf "$scratch"' EXIT
trap 'exit 1' TERM INT
"$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot failed"

user=$(ls "$WINEPREFIX/drive_c/users" | grep -v Public | head -1)
home=$WINEPREFIX/drive_c/users/$user
programs="$home/AppData/Local/Programs/Connectivity Monitor"
menu="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
logs="$home/Documents/Connectivity Monitor"
record=$logs/connectivityWatch.txt
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ConnectivityMonitor'

install() {
    "$wine" "$setup" /S "$@" || fail "setup /S $* exited $?"
}
# field LNK NAME: one of lnkinfo's fields, as Windows wrote it.
field() { lnkinfo "$1" | sed -n "s/^\s*$2\s*: //p" | tr -d '\r'; }
# open LNK: the shortcut opened by Windows' shell, as a click in the Start menu opens it.
open() { "$wine" start /unix "$1" </dev/null >/dev/null 2>&1; }
# running PROGRAM: how many processes of this prefix run it.
running() {
    local pid count=0
    for pid in $(pgrep -f "$1"); do
        grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && count=$((count + 1))
    done
    echo $count
}
# await CONDITION...: whether it holds within 30 s.
await() {
    for _ in $(seq 600); do "$@" 2>/dev/null && return 0; sleep 0.05; done
    return 1
}
watching() { [ "$(running connectivity-watch.exe)" = "${1:-1}" ] && [ "$(running connectivity-monitor.exe)" = "${1:-1}" ]; }
record_has() { [ "$(grep -c "$1" "$record" 2>/dev/null)" -ge "$2" ]; }

wrestool -x --raw --type=24 "$setup" | grep -q 'level="asInvoker"' || fail "the installer does not run asInvoker"
install
for file in connectivity-monitor.exe connectivity-watch.exe connectivity-report.exe outage-report.cmd \
    connectivity-monitor-unattended.cmd README.txt LICENSE.txt uninstall.exe; do
    [ -f "$programs/$file" ] || fail "no $file in the install folder"
done
watcher='C:\users\'"$user"'\AppData\Local\Programs\Connectivity Monitor\connectivity-watch.exe'
log_folder='C:\users\'"$user"'\Documents\Connectivity Monitor'
# watcher_link LNK ARGUMENTS: a shortcut that starts the watcher in the log folder.
watcher_link() {
    [ "$(field "$1" 'Local path')" = "$watcher" ] && [ "$(field "$1" 'Command line arguments')" = "$2" ] &&
        [ "$(field "$1" 'Working directory')" = "$log_folder" ] || fail "$1: $(lnkinfo "$1")"
}
watcher_link "$menu/Connectivity Monitor/Connectivity monitor.lnk" ''
watcher_link "$menu/StartUp/Connectivity monitor.lnk" ''
watcher_link "$menu/Connectivity Monitor/Stop monitoring.lnk" '--stop'
report_link="$menu/Connectivity Monitor/Outage report.lnk"
[ "$(field "$report_link" 'Local path')" = 'C:\windows\system32\cmd.exe' ] &&
    [[ $(field "$report_link" 'Command line arguments') == *'\outage-report.cmd" "'"$log_folder"'""' ]] &&
    [ "$(field "$report_link" 'Working directory')" = "$log_folder" ] &&
    [ "$(field "$menu/Connectivity Monitor/Log folder.lnk" 'Local path')" = "$log_folder" ] &&
    [ -f "$menu/Connectivity Monitor/Uninstall Connectivity Monitor.lnk" ] ||
    fail "Start menu: $(ls "$menu/Connectivity Monitor")"
"$wine" reg query "$key" /v DisplayVersion 2>/dev/null | grep -q '1\.' &&
    "$wine" reg query "$key" /v Publisher >/dev/null 2>&1 &&
    "$wine" reg query "$key" /v EstimatedSize >/dev/null 2>&1 || fail "no Apps entry in $key"

# The Start menu's monitor, then the sign-in start beside it: one watcher, one monitor, which logs
# its failing cycle (no network here) in the log folder.
open "$menu/Connectivity Monitor/Connectivity monitor.lnk"
await watching && await record_has ' started ' 1 || fail "the shortcut started no watcher: $(cat "$record" 2>&1)"
open "$menu/StartUp/Connectivity monitor.lnk"
sleep 3
watching || fail "two starts run $(running connectivity-watch.exe) watchers, $(running connectivity-monitor.exe) monitors"
await test -s "$logs/connectivityLog.txt" || fail "the watcher's monitor logged nothing"
[[ $(tr -d '\r' <"$logs/connectivityLog.txt" | head -1) =~ ^($log_line_pattern)$ ]] ||
    fail "the monitor logged: $(cat "$logs/connectivityLog.txt")"

# An upgrade stops the monitoring and starts it again: still one of each.
install
await record_has ' started ' 2 && await watching ||
    fail "after an upgrade: $(running connectivity-watch.exe) watchers; $(tail -3 "$record")"
grep -q 'stopped reason="asked to stop"' "$record" || fail "the upgrade stopped nothing: $(cat "$record")"
# A watcher that cannot be asked to stop (frozen here, as an open menu once held it): the upgrade
# ends this install's programs by force, and one of each runs after it.
frozen=$(pgrep -f 'Programs.Connectivity Monitor.connectivity-watch.exe' | head -1)
kill -STOP "$frozen" || fail "no watcher to freeze"
install
await record_has ' started ' 3 && await watching ||
    fail "after an upgrade over a frozen watcher: $(running connectivity-watch.exe) watchers; $(tail -3 "$record")"

# The outage report's shortcut on a seeded log: the whole page there. The browser is a stand-in
# (Wine's shell passes .html files to xdg-open once told to), so the report has one to hand the
# page to; that hand-over itself is the report's own test.
printf 'internet connection test failed on Sun Feb 18 00:29:21 2024\r\n' >>"$logs/connectivityLog.txt"
mkdir "$scratch/desktop"
printf '#!/bin/sh\necho "$1" >"%s/opened"\n' "$scratch" >"$scratch/desktop/xdg-open"
chmod +x "$scratch/desktop/xdg-open"
"$wine" reg add 'HKCR\.html' /ve /d htmlfile /f >/dev/null 2>&1 &&
    "$wine" reg add 'HKCR\htmlfile\shell\open\command' /ve /d 'winebrowser "%1"' /f >/dev/null 2>&1
PATH=$scratch/desktop:$PATH open "$report_link"
await grep -q '</html>' "$logs/outages.html" && grep -q '2024-02-18 00:29:21' "$logs/outages.html" ||
    fail "the outage report's shortcut wrote no whole page"

open "$menu/Connectivity Monitor/Stop monitoring.lnk"
await watching 0 || fail "Stop monitoring left $(running connectivity-watch.exe) watchers running"
cp "$logs/connectivityLog.txt" "$scratch/seeded"

# The choices are kept: /AUTOSTART=0 /MESSAGES=0 /SAMPLING=0 once, then a plain install over it.
install /AUTOSTART=0 /MESSAGES=0 /SAMPLING=0
install
[ ! -e "$menu/StartUp/Connectivity monitor.lnk" ] || fail "/AUTOSTART=0 was not kept"
watcher_link "$menu/Connectivity Monitor/Connectivity monitor.lnk" '--quiet --sample 0'
cmp -s "$logs/connectivityLog.txt" "$scratch/seeded" || fail "installing again changed the log"

# An uninstall while monitoring stops it first, and the README's silent line waits for it.
open "$menu/Connectivity Monitor/Connectivity monitor.lnk"
await watching || fail "the shortcut started no watcher before the uninstall"
printf '"%%LOCALAPPDATA%%\\Programs\\Connectivity Monitor\\uninstall.exe" /S _?=%%LOCALAPPDATA%%\\Programs\\Connectivity Monitor\r\n' \
    >"$WINEPREFIX/drive_c/uninstall-quietly.cmd"
"$wine" cmd /c 'C:\uninstall-quietly.cmd' || fail "the uninstaller exited $?"
[ "$(ls "$programs")" = uninstall.exe ] || fail "the uninstall had not ended when its line returned: $(ls "$programs")"
watching 0 || fail "the uninstall left the monitoring running"
[ ! -e "$menu/Connectivity Monitor" ] && [ ! -e "$menu/StartUp/Connectivity monitor.lnk" ] ||
    fail "left behind: $(ls "$menu/Connectivity Monitor" 2>&1)"
! "$wine" reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left $key"
# The log kept, with what the monitor added since.
head -c "$(stat -c %s "$scratch/seeded")" "$logs/connectivityLog.txt" | cmp -s - "$scratch/seeded" &&
    [ -s "$record" ] || fail "the uninstaller did not keep the log folder"

# A folder of the person's choosing, kept by the next install.
(cd "$(dirname "$setup")" && "$wine" cmd /c "$(basename "$setup") /S /D=C:\\Monitoring") ||
    fail "an install to C:\\Monitoring exited $?"
install
[ -f "$WINEPREFIX/drive_c/Monitoring/connectivity-watch.exe" ] && [ ! -e "$programs/connectivity-watch.exe" ] ||
    fail "the second install did not go where the first was"
"$wine" cmd /c 'C:\Monitoring\uninstall.exe /S _?=C:\Monitoring' || fail "uninstalling C:\Monitoring exited $?"

# What 1.0.0 left after `/D=C:\OldPlace /AUTOSTART=0`: its Apps entry and its programs there, no
# settings of ours, no start at sign-in, and its monitor running unattended from there.
mkdir -p "$WINEPREFIX/drive_c/OldPlace"
cp "$monitor" "$WINEPREFIX/drive_c/OldPlace/connectivity-monitor.exe"
"$wine" reg add "$key" /v DisplayName /d 'Connectivity Monitor' /f >/dev/null 2>&1 &&
    "$wine" reg add "$key" /v DisplayVersion /d 1.0.0 /f >/dev/null 2>&1 &&
    "$wine" reg add "$key" /v InstallLocation /d 'C:\OldPlace' /f >/dev/null 2>&1 || fail "reg add"
(cd "$logs" && exec "$wine" 'C:\OldPlace\connectivity-monitor.exe' </dev/null >/dev/null 2>&1) &
await test "$(running OldPlace.connectivity-monitor.exe)" = 1 || fail "the old monitor did not start"
install
[ -f "$WINEPREFIX/drive_c/OldPlace/connectivity-watch.exe" ] && [ ! -e "$programs/connectivity-watch.exe" ] ||
    fail "the upgrade of 1.0.0 did not go where it was: $(ls "$WINEPREFIX/drive_c/OldPlace")"
[ ! -e "$menu/StartUp/Connectivity monitor.lnk" ] || fail "the upgrade of 1.0.0 turned the start at sign-in on"
await watching && [ "$(running OldPlace.connectivity-monitor.exe)" = 1 ] ||
    fail "after the upgrade of 1.0.0: $(running connectivity-watch.exe) watchers, $(running connectivity-monitor.exe) monitors"
"$wine" reg query "$key" /v DisplayVersion 2>/dev/null | grep -q "$(basename "$setup" | sed 's/.*-\([0-9.]*\)-setup.exe/\1/')" ||
    fail "the Apps entry is not the new version's"
echo "PASS: install, shortcuts, one watcher, upgrade, choices kept, uninstall, upgrade of 1.0.0"
