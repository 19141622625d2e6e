#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: first the debug build,
# then the same suites under AddressSanitizer and UndefinedBehaviorSanitizer. In both, every
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
