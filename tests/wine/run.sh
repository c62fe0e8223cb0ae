#!/usr/bin/env bash
# The end-to-end tests against one of the two programs, as root, after
# scripts/build.sh:
#
#     bash tests/wine/run.sh 64 [pytest options]   # stationclock.exe under Wine
#     bash tests/wine/run.sh 32 [pytest options]   # stationclock32.exe under 32-bit Wine
#
# The 32-bit Wine runs under qemu user emulation on these machines; the first
# run sets that up (tests/wine/qemu_setup.sh). Everything runs where no
# serial device of the machine exists (tests/wine/isolated.sh). The
# harness's self-tests that need no Wine (test_rig.py) run apart, once.
set -euo pipefail
cd "$(dirname "$0")/../.."
bits=${1:?64 or 32}
shift
if [ "$bits" = 32 ]; then
    bash tests/wine/qemu_setup.sh
fi
# Arguments go to pytest; without a test path among them, all of tests/wine.
targets=(tests/wine --ignore=tests/wine/test_rig.py)
for arg in "$@"; do
    case $arg in tests/*) targets=() ;; esac
done
exec bash tests/wine/isolated.sh /usr/bin/python3 -m pytest -q -rsx -p no:cacheprovider \
    "${targets[@]}" "$@" --width "$bits"
