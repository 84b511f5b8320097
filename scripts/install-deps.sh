#!/usr/bin/env bash
# Installs the Debian packages that a make target needs, only those missing, and says which.
# usage: install-deps.sh build|windows|test|bench
set -euo pipefail

build=(cmake make g++)
case ${1:-test} in
build) wanted=("${build[@]}") ;;
windows) wanted=("${build[@]}" g++-mingw-w64-x86-64-posix) ;;
test)
    wanted=("${build[@]}" libgtest-dev googletest libbenchmark-dev valgrind
        clang-format clang-tidy cppcheck g++-mingw-w64-x86-64-posix wine64 icoutils)
    ;;
bench) wanted=("${build[@]}" libgtest-dev libbenchmark-dev netcat-openbsd time) ;;
*)
    echo "usage: $0 build|windows|test|bench" >&2
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
