#!/usr/bin/env bash
# The .deb as Debian's tools see it: lintian without errors or warnings, then unpacked into a
# scratch root, its manual pages rendered by groff without a warning and found by man, and its
# user units accepted by systemd-analyze. Each check skips, saying why, where its tool is missing.
# usage: deb_check.sh BUILD_DIR (a configured and built Linux tree)
set -u
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is missing"; exit 77; }

(cd "$build" && cpack -G DEB -B "$scratch/packages") >"$scratch/cpack.log" 2>&1 ||
    fail "cpack: $(tail -5 "$scratch/cpack.log")"
deb=$(ls "$scratch"/packages/*.deb)

if command -v lintian >/dev/null; then
    lintian "$deb" >"$scratch/lintian" 2>&1
    ! grep -E '^[EW]: ' "$scratch/lintian" || fail "lintian has errors or warnings"
    echo "lintian: no errors, no warnings"
else
    echo "lintian skipped: not installed (make test installs it)"
fi

root=$scratch/root
dpkg-deb -x "$deb" "$root" || fail "cannot unpack $deb"
for page in connectivity-monitor connectivity-watch connectivity-report; do
    file=$root/usr/share/man/man1/$page.1.gz
    [ -s "$file" ] || fail "no manual page $page(1)"
    warnings=$(zcat "$file" | LC_ALL=C.UTF-8 groff -man -ww -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "groff warns on $page(1): $warnings"
    MANPATH=$root/usr/share/man man -w "$page" >/dev/null 2>&1 || fail "man does not find $page"
done
echo "manual pages: render without warnings"

if command -v systemd-analyze >/dev/null; then
    # Verified where the package's programs are: systemd-analyze looks for them on this machine.
    mkdir -m 0700 "$scratch/runtime" "$scratch/units"
    for unit in "$root"/usr/lib/systemd/user/*; do
        program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
        [ -z "$program" ] || [ -x "$root$program" ] || fail "$unit starts $program, not in the package"
        sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$scratch/units/$(basename "$unit")"
    done
    XDG_RUNTIME_DIR=$scratch/runtime MANPATH=$root/usr/share/man \
        systemd-analyze verify --user "$scratch"/units/* >"$scratch/verify" 2>&1
    [ ! -s "$scratch/verify" ] || fail "systemd-analyze: $(cat "$scratch/verify")"
    echo "systemd units: verified"
else
    echo "systemd-analyze skipped: not installed"
fi
echo "PASS: the .deb"
