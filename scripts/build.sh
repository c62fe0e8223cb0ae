#!/usr/bin/env bash
# Builds both Windows programs (build/win64/stationclock.exe,
# build/win32/stationclock32.exe) and the native tools and tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in native win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs" >/dev/null
done
