#!/usr/bin/env bash
# Format check, clang-tidy and cppcheck over our own sources; any finding fails.
# usage: lint.sh BUILD_DIR (a configured build with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
mapfile -t sources < <(find src platform core watch report tests bench -name '*.cpp' -o -name '*.h' | sort)
# Windows-only and clang-only (fuzz) sources are not in the Linux build's compile commands.
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' |
    grep -Ev '^tests/(windows|fuzz)/|(^|/)windows/|_windows\.cpp$')

echo "clang-format: ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

echo "clang-tidy: ${#units[@]} files"
if ! printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet >"$build/clang-tidy.log" 2>&1; then
    grep -v 'warnings* generated' "$build/clang-tidy.log"
    exit 1
fi

# Debian 12 has c-ares 1.18, newer systems 1.34, which marks these deprecated: with warnings as
# errors there, any of them breaks the build.
echo "c-ares: no call that 1.34 deprecates"
deprecated='ares_(getsock|fds|process|init|gethostbyname|query|search|send|set_servers|set_servers_ports|get_servers|get_servers_ports|parse_[a-z_]+_reply|create_query|mkquery)'
if grep -nE "\b$deprecated\s*\(" "${sources[@]}"; then
    exit 1
fi

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --inline-suppr \
    --enable=warning,performance,portability --suppress=missingIncludeSystem \
    -I platform -I core -I report -I watch -I tests/double -I tests/support "${units[@]}"
echo "lint: clean"
