#!/usr/bin/env bash
# The end-to-end tests against one of the two programs, as root, after
# scripts/build.sh:
#
#     bash tests/wine/run.sh 64 [pytest options]   # stationclock.exe
#     bash tests/wine/run.sh 32 [pytest options]   # stationclock32.exe
#
# Both run under 64-bit Wine, the 32-bit program under its WoW64 (on qemu
# here). Everything runs where no serial device of the machine exists
# (tests/wine/isolated.sh). The harness's self-tests that need no Wine
# (test_rig.py) run apart, once.
set -euo pipefail
cd "$(dirname "$0")/../.."
bits=${1:?64 or 32}
shift
# Arguments go to pytest; without a test path among them, all of tests/wine.
targets=(tests/wine --ignore=tests/wine/test_rig.py)
for arg in "$@"; do
    case $arg in tests/*) targets=() ;; esac
done
exec bash tests/wine/isolated.sh /usr/bin/python3 -m pytest -q -rsx -p no:cacheprovider \
    "${targets[@]}" "$@" --width "$bits"
