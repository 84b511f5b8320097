#!/usr/bin/env bash
# The .exe asks for no elevation and imports only system DLLs, among them the two services; the
# watcher too asks for none, is a windowless GUI program and carries its three icons.
# usage: exe_contents.sh OBJDUMP MONITOR_EXE CONTROL_EXE WATCHER_EXE (the control must fail the
# monitor's checks)
set -u
objdump=$1

# problems EXE: prints what the file lacks, one line each; nothing when all is well.
problems() {
    local manifest imports dlls
    manifest=$(wrestool -x --raw --type=24 --name=1 "$1" 2>/dev/null | tr -d '\r')
    grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$manifest" ||
        echo "no asInvoker, uiAccess=false manifest as RT_MANIFEST resource 1"
    imports=$("$objdump" -p "$1")
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$imports" | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
    [ "$dlls" = "kernel32.dll msvcrt.dll wininet.dll " ] || echo "imports DLLs: $dlls"
    for name in InternetCheckConnectionW Sleep; do
        grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+$name\$" <<<"$imports" || echo "does not import $name"
    done
}

found=$(problems "$2")
[ -z "$found" ] || { echo "FAIL: $2: $found" >&2; exit 1; }
wrestool -x --raw --type=24 --name=1 "$4" | grep -q 'level="asInvoker"' &&
    "$objdump" -p "$4" | grep -q 'Subsystem.*(Windows GUI)' &&
    [ "$(wrestool -l --type=14 "$4" | wc -l)" -eq 3 ] ||
    { echo "FAIL: $4: manifest, subsystem or icons: $(wrestool -l "$4")" >&2; exit 1; }
[ -n "$(problems "$3")" ] || { echo "FAIL: control $3 passed checks meant to tell it apart" >&2; exit 1; }
echo "PASS: asInvoker manifests; the monitor imports only kernel32, msvcrt and wininet; the watcher is a GUI program with its icons"
