#!/usr/bin/env bash
# Runs stationclock.exe under Wine against the simulated weather station: on
# the current display if there is one, otherwise headless with a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
jobs=$(nproc)
for preset in native win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs" >/dev/null
done
exec bash tests/wine/isolated.sh /usr/bin/python3 scripts/demo.py
