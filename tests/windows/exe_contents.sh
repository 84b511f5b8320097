#!/usr/bin/env bash
# The .exe asks for no elevation and imports only system DLLs, among them the two services.
# usage: exe_contents.sh OBJDUMP MONITOR_EXE CONTROL_EXE (the control must fail the same checks)
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
[ -n "$(problems "$3")" ] || { echo "FAIL: control $3 passed checks meant to tell it apart" >&2; exit 1; }
echo "PASS: asInvoker manifest; imports only kernel32, msvcrt and wininet"
