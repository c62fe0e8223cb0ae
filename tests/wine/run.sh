#!/usr/bin/env bash
# The end-to-end tests against one of the two programs, as root, after
# scripts/build.sh:
#
#     bash tests/wine/run.sh 64 [--in-parts] [pytest options]   # stationclock.exe
#     bash tests/wine/run.sh 32 [--in-parts] [pytest options]   # stationclock32.exe
#
# Both under 64-bit Wine (the 32-bit program under WoW64), where no serial
# device of the machine exists (isolated.sh); test_rig.py runs apart, once.
# --in-parts runs the suite in two parts side by side, each in a Wine
# session of its own (while one part waits on the program's own time
# limits, another has a core), then shows their outputs; the status is that
# of a part that failed, if one did.
set -uo pipefail
cd "$(dirname "$0")/../.."
bits=${1:?64 or 32}
shift
pytest() {
    bash tests/wine/isolated.sh /usr/bin/python3 -m pytest -q -rsx -p no:cacheprovider \
        "$@" --width "$bits"
}
if [ "${1:-}" != --in-parts ]; then
    # Without a test path among the arguments, all of tests/wine.
    targets=(tests/wine --ignore=tests/wine/test_rig.py)
    for arg in "$@"; do
        case $arg in tests/*) targets=() ;; esac
    done
    pytest "${targets[@]}" "$@"
    exit
fi
shift
# Two parts of about the same length: exchanges, ports, build retries; the rest.
build_retries=tests/wine/test_harness.py::test_a_prefix_build_that_crashed_or_hung_starts_again
parts=("tests/wine/test_exchanges.py tests/wine/test_ports.py $build_retries"
       "tests/wine --ignore=tests/wine/test_rig.py --ignore=tests/wine/test_exchanges.py
        --ignore=tests/wine/test_ports.py --deselect $build_retries")
logs=()
for part in "${parts[@]}"; do
    logs+=("$(mktemp)")
    # shellcheck disable=SC2086
    pytest $part "$@" >"${logs[-1]}" 2>&1 &
done
status=0
for log in "${logs[@]}"; do
    wait -n || status=$?
done
for log in "${logs[@]}"; do
    cat "$log"
    rm -f "$log"
done
exit "$status"
