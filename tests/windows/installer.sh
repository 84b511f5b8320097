#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix on a private network: a silent install with
# the defaults, its files, shortcuts (read back with lnkinfo), registry entry and manifest; the
# shortcuts' own command lines run, the monitor for one failing cycle and the outage report on a
# seeded log; an install over it with the sign-in start off keeps the log; the silent uninstall
# leaves the log folder and nothing else of ours.
# usage: installer.sh WINE64 SETUP_EXE
set -u
wine=$1
setup=$(realpath "$2")
for tool in lnkinfo wrestool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (liblnk-utils, icoutils)"; exit 77; }
done
source "$(dirname "$0")/../e2e/isolation.sh"
if [ "${1-}" != --inside ]; then # once, the whole run in the private network namespace
    rm -rf "$scratch"
    exec "${isolate[@]}" bash "$0" --inside "$wine" "$setup"
fi
wine=$2
setup=$3
# A home of its own too: a new prefix links Documents and Desktop to the home folder.
mkdir "$scratch/home"
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' TMPDIR=$scratch \
    HOME=$scratch/home
server=$(dirname "$wine")/wineserver
trap '"$server" -k 2>/dev/null; rm -rf "$scratch"' EXIT
"$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot failed"

user=$(ls "$WINEPREFIX/drive_c/users" | grep -v Public | head -1)
home=$WINEPREFIX/drive_c/users/$user
programs="$home/AppData/Local/Programs/Connectivity Monitor"
menu="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
logs="$home/Documents/Connectivity Monitor"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ConnectivityMonitor'

install() {
    "$wine" "$setup" /S "$@" && "$server" -w || fail "setup /S $* exited $?"
}
# field LNK NAME: one of lnkinfo's fields, as Windows wrote it.
field() { lnkinfo "$1" | sed -n "s/^\s*$2\s*: //p" | tr -d '\r'; }
# open LNK: the shortcut opened by Windows' shell, as a click in the Start menu opens it.
open() { "$wine" start /unix "$1" </dev/null >/dev/null 2>&1; }

wrestool -x --raw --type=24 "$setup" | grep -q 'level="asInvoker"' || fail "the installer does not run asInvoker"
install
for file in connectivity-monitor.exe connectivity-report.exe outage-report.cmd README.txt LICENSE.txt uninstall.exe; do
    [ -f "$programs/$file" ] || fail "no $file in the install folder"
done
monitor_args='/c ""C:\users\'"$user"'\AppData\Local\Programs\Connectivity Monitor\connectivity-monitor.exe" <NUL"'
log_folder='C:\users\'"$user"'\Documents\Connectivity Monitor'
for link in "$menu/Connectivity Monitor/Connectivity monitor.lnk" "$menu/StartUp/Connectivity monitor.lnk"; do
    [ "$(field "$link" 'Local path')" = 'C:\windows\system32\cmd.exe' ] &&
        [ "$(field "$link" 'Command line arguments')" = "$monitor_args" ] &&
        [ "$(field "$link" 'Working directory')" = "$log_folder" ] &&
        [ "$(od -An -tu4 -j60 -N4 "$link" | tr -d ' ')" = 7 ] || # show minimised (header field)
        fail "$link: $(lnkinfo "$link")"
done
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

# The monitor's shortcut, for one failing cycle (no network here): its line in the log folder.
open "$menu/Connectivity Monitor/Connectivity monitor.lnk"
for _ in $(seq 600); do [ -s "$logs/connectivityLog.txt" ] && break; sleep 0.05; done
"$wine" taskkill /IM connectivity-monitor.exe /F >/dev/null 2>&1
[[ $(tr -d '\r' <"$logs/connectivityLog.txt") =~ ^($log_line_pattern)$ ]] ||
    fail "the monitor's shortcut logged: $(cat "$logs/connectivityLog.txt" 2>&1)"

# The outage report's shortcut on a seeded log: the whole page there. The browser is a stand-in
# (Wine's shell passes .html files to xdg-open once told to), so the report has one to hand the
# page to; that hand-over itself is the report's own test.
printf 'internet connection test failed on Sun Feb 18 00:29:21 2024\r\n' >>"$logs/connectivityLog.txt"
cp "$logs/connectivityLog.txt" "$scratch/seeded"
mkdir "$scratch/desktop"
printf '#!/bin/sh\necho "$1" >"%s/opened"\n' "$scratch" >"$scratch/desktop/xdg-open"
chmod +x "$scratch/desktop/xdg-open"
"$wine" reg add 'HKCR\.html' /ve /d htmlfile /f >/dev/null 2>&1 &&
    "$wine" reg add 'HKCR\htmlfile\shell\open\command' /ve /d 'winebrowser "%1"' /f >/dev/null 2>&1
PATH=$scratch/desktop:$PATH open "$report_link"
"$server" -w # Wine's start returns at once for a shortcut; its programs are done when this is
grep -q '</html>' "$logs/outages.html" && grep -q '2024-02-18 00:29:21' "$logs/outages.html" ||
    fail "the outage report's shortcut wrote no whole page"

# Over it, the sign-in start off: the log stays, the Startup shortcut goes.
install /AUTOSTART=0
[ ! -e "$menu/StartUp/Connectivity monitor.lnk" ] || fail "/AUTOSTART=0 left the Startup shortcut"
cmp -s "$logs/connectivityLog.txt" "$scratch/seeded" || fail "installing again changed the log"

"$wine" "$programs/uninstall.exe" /S && "$server" -w || fail "the uninstaller exited $?"
[ ! -e "$programs" ] && [ ! -e "$menu/Connectivity Monitor" ] && [ ! -e "$menu/StartUp/Connectivity monitor.lnk" ] ||
    fail "left behind: $(ls "$programs" "$menu/Connectivity Monitor" 2>&1)"
! "$wine" reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left $key"
cmp -s "$logs/connectivityLog.txt" "$scratch/seeded" || fail "the uninstaller did not keep the log"
echo "PASS: install, shortcuts, reinstall and uninstall"
