#!/usr/bin/env bash
# Measures the real stationclock.exe under Wine against the simulated station
# and prints a table (median of BENCH_RUNS runs each, default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
bash scripts/build.sh
exec bash tests/wine/isolated.sh /usr/bin/python3 tests/bench/benchmark.py
