#!/usr/bin/env bash
# Smoke test of the 32-bit program, build/win32/stationclock32.exe, under
# 32-bit Wine (which runs under qemu user emulation on these machines).
# Run from the repository root after scripts/build.sh, as root:
#
#     bash tests/wine32/smoke.sh [--keep] [--rebuild-prefix]
#
# Installs and registers what 32-bit Wine needs (tests/wine32/setup.sh),
# then runs tests/wine32/smoke.py in a private mount namespace in which the
# machine's serial devices (/dev/ttyS0 is the console here) are /dev/null,
# so that no Wine process of the test can reach them whatever Wine maps.
# Prints one line per check and ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/../.."

started=$SECONDS
if out=$(bash tests/wine32/setup.sh 2>&1); then
    status="ok"
    [ -n "$out" ] && status="ok $(tr '\n' ';' <<<"$out")"
else
    status="failed: $(tail -n 5 <<<"$out" | tr '\n' ' ')"
fi
export WINE32_SETUP="$status; setup $((SECONDS - started)) s"

# In the new namespace: every serial device of the machine becomes
# /dev/null, then the test runs.
exec unshare --mount --propagation private -- /bin/bash -c '
    for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
        [ -e "$device" ] || continue
        mount --bind /dev/null "$device" ||
            { echo "FAIL cannot mask $device"; echo "0 passed, 1 failed"; exit 1; }
    done
    exec /usr/bin/python3 tests/wine32/smoke.py "$@"
' smoke "$@"
