#!/usr/bin/env bash
# Installs the Debian packages that a make target needs, only those missing, and says which.
# usage: install-deps.sh build|windows|package|test|browser|bench|lint|fuzz|node-exporter|prometheus
set -euo pipefail
cd "$(dirname "$0")/.."

# The metrics and alert tests need a node exporter's and Prometheus' binaries but never their
# services: installing Debian's packages would start daemons on ports 9100 and 9090, so the
# packages are only unpacked into the build tree.
unpack() { # PACKAGE FOLDER PROGRAM
    local tools=build/tools/$2
    [ -x "$tools/usr/bin/$3" ] && return 0
    mkdir -p "$tools/download"
    (cd "$tools/download" && { apt-get download -qq "$1" 2>/dev/null ||
        { apt-get update -qq && apt-get download -qq "$1"; }; }) ||
        { echo "Cannot download $1: the tests that need it will skip" >&2; return 1; }
    dpkg-deb -x "$tools/download/$1"_*.deb "$tools"
    rm -rf "$tools/download"
    echo "Unpacked $1 into $tools"
}
case ${1-} in
node-exporter) unpack prometheus-node-exporter node-exporter prometheus-node-exporter; exit ;;
prometheus) unpack prometheus prometheus promtool; exit ;;
esac

# The programs alone: c-ares resolves for the Linux probe and the watcher's diagnosis; CLI11
# (headers only) reads the report's and the watcher's command lines on both platforms; sd-bus
# (libsystemd-dev) carries the watcher's messages to the desktop.
build=(cmake make g++ libc-ares-dev libcli11-dev libsystemd-dev)
windows=(cmake make g++-mingw-w64-x86-64-posix libcli11-dev)
checks=(libgtest-dev libbenchmark-dev)
lint=(clang-format clang-tidy cppcheck)
case ${1:-test} in
build) wanted=("${build[@]}") ;;
windows) wanted=("${windows[@]}") ;;
# dpkg-dev computes the .deb's Depends (dpkg-shlibdeps); nsis makes the Windows installer.
package) wanted=("${build[@]}" "${windows[@]}" dpkg-dev nsis) ;;
lint) wanted=("${build[@]}" "${checks[@]}" "${lint[@]}") ;;
fuzz) wanted=("${build[@]}" clang-14 libclang-rt-14-dev) ;;
test)
    # iproute2, nftables and perl bring up the private test machines and the simulated home network;
    # lintian, man-db and systemd check the .deb, its manual pages and its units, and run them
    # under a real user manager (dbus-daemon: the session bus of the desktop messages); nsis and
    # liblnk-utils make and read the installer; xvfb gives Wine's notification area a display.
    wanted=("${build[@]}" "${windows[@]}" "${checks[@]}" "${lint[@]}" googletest valgrind wine64
        icoutils iproute2 nftables perl dpkg-dev lintian man-db systemd dbus nsis liblnk-utils xvfb xauth
        clang-14 libclang-rt-14-dev)
    ;;
browser) wanted=(chromium imagemagick) ;; # the report's page, rendered; its test skips without
bench) wanted=("${build[@]}" "${checks[@]}" netcat-openbsd time perl iproute2 nftables) ;;
*)
    echo "usage: $0 build|windows|package|test|browser|bench|lint|fuzz|node-exporter|prometheus" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

cannot_install() {
    echo "Cannot install the missing Debian packages: ${missing[*]}" >&2
    echo "Install them yourself (sudo apt-get install ${missing[*]}) and run make again." >&2
    exit 1
}

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    cannot_install
fi
command -v apt-get >/dev/null || cannot_install

echo "Installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq || cannot_install
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || cannot_install
echo "Installed: ${missing[*]}"
