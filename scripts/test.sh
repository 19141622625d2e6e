#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: first the debug build,
# then the same suites under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in default asan; do
    echo "=== preset: ${preset} ==="
    cmake --workflow --preset "${preset}"
done
