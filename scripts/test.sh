#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: first the debug build,
# then the same suites under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows
# cross builds, and last the Debian packages, built once from the tree, checked with lintian
# and by their autopkgtest suite (scripts/package.sh). In the debug and sanitizer builds every
# GoogleTest binary also runs once whole, in one process and in random order (CTest label
# "shuffled", see tests/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in default asan; do
    echo "=== preset: ${preset} ==="
    cmake --workflow --preset "${preset}"
done

# --- Windows cross builds (mingw-w64): the 32-bit DLL checked statically, the 64-bit build ---
# --- run under wine64 (ctest label "windows") ---
for preset in win32 win64; do
    echo "=== preset: ${preset} ==="
    cmake --workflow --preset "${preset}"
done

echo "=== Debian packages ==="
start=$SECONDS
bash scripts/package.sh
echo "Debian packages: built, lint-free and tested in $((SECONDS - start)) s"
