#!/usr/bin/env bash
# The .exe asks for no elevation and imports only system DLLs, among them the two services; the
# watcher too asks for none, is a windowless GUI program and carries its three icons; the report
# carries the program's icon; each names itself, its version and publisher as Windows shows them.
# usage: exe_contents.sh OBJDUMP MONITOR_EXE CONTROL_EXE WATCHER_EXE REPORT_EXE VERSION (the
# control must fail the monitor's checks)
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
wrestool -x --raw --type=24 --name=1 "$5" | grep -q 'level="asInvoker"' &&
    [ "$(wrestool -l --type=14 "$5" | wc -l)" -eq 1 ] ||
    { echo "FAIL: $5: manifest or icon: $(wrestool -l "$5")" >&2; exit 1; }
# The version resource's strings are UTF-16: read as ASCII with the zero bytes dropped.
for exe in "$2" "$4" "$5"; do
    strings=$(wrestool -x --raw --type=16 "$exe" | tr -d '\0')
    for wanted in "ProductNameConnectivity Monitor" "FileVersion$6" "CompanyNameThe connectivity monitor contributors" \
        "FileDescriptionConnectivity monitor" "OriginalFilename$(basename "$exe")"; do
        grep -qF "$wanted" <<<"$strings" || { echo "FAIL: $exe: no $wanted in its version: $strings" >&2; exit 1; }
    done
done
echo "PASS: asInvoker manifests; the monitor imports only kernel32, msvcrt and wininet; the watcher is a GUI program with its icons; the report has the program's icon; each names itself and its version"
