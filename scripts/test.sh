#!/usr/bin/env bash
# Runs every test of stationclock: native unit tests in both integer widths
# (also under AddressSanitizer and UndefinedBehaviorSanitizer, with a brief
# fuzzing run), static checks of both programs, the release, and the same
# end-to-end tests of each real program under Wine: stationclock.exe under
# 64-bit Wine, stationclock32.exe under 32-bit Wine (on qemu here).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh || { echo "install failed"; exit 1; }

passed=0
failed=0
stage() {
    local name=$1
    shift
    echo
    echo "=== $name"
    local started=$SECONDS
    if "$@"; then
        passed=$((passed + 1))
        echo "=== $name: ok ($((SECONDS - started)) s)"
    else
        failed=$((failed + 1))
        echo "=== $name: FAILED ($((SECONDS - started)) s)"
    fi
}

jobs=$(nproc)
build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs" 2>&1 | grep -Ev '^\[|^-- |Built target|Scanning|Consolidate' ; return "${PIPESTATUS[0]}"
}
run_ctest() {
    local log="build/ctest-$1.log"
    ctest --preset "$1" -j"$jobs" >"$log" 2>&1
    local status=$?
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess)' "$log"
    tail -n 3 "$log"
    return $status
}
# The end-to-end harness's own self-tests that need no Wine run here, once.
unit_tests() {
    build native && run_ctest native &&
        /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/wine/test_rig.py
}
sanitized_tests() {
    build sanitize && run_ctest sanitize
}
windows_builds() {
    build win64 && build win32 &&
        /usr/bin/python3 tests/static/check_exe.py build/win64/stationclock.exe build/win32/stationclock32.exe &&
        manifest_rebuilds
}
# An edit of the manifest rebuilds the program (about a second): a comment
# added to it shows up in the program, and taking it out again gives the
# same bytes as before.
manifest_rebuilds() {
    local dir=build/win64 manifest=build/win64/resources/stationclock.manifest
    local program=build/win64/stationclock.exe rebuilt=no
    cmake --build --preset win64 --target stationclock >/dev/null &&
        cp "$program" "$dir/unedited.exe" && cp "$manifest" "$dir/unedited.manifest" || return 1
    echo '<!-- edited -->' >>"$manifest"
    cmake --build --preset win64 --target stationclock >/dev/null &&
        grep -qa 'edited -->' "$program" && rebuilt=yes
    cp "$dir/unedited.manifest" "$manifest" &&
        cmake --build --preset win64 --target stationclock >/dev/null &&
        cmp -s "$dir/unedited.exe" "$program" || rebuilt=no
    if [ "$rebuilt" = yes ]; then
        echo "ok   stationclock.exe: an edit of its manifest rebuilds it"
    else
        echo "FAIL stationclock.exe: an edit of its manifest does not rebuild it"
        return 1
    fi
}
# Under Wine the program opens COM1..COM20, and /dev/ttyS0 is often the
# machine's console: tests/wine/run.sh runs the tests where no serial device
# of the machine exists, and the harness writes and checks every COM link
# before each start.
wine_tests() {
    bash tests/wine/run.sh "$1"
}
# The release, made here and again in a clone at another path a little later:
# the programs and the zip must be the same bytes; then its entries, guide
# and SHA256SUMS.
release_check() {
    local out=build/release-check
    RELEASE_DIST=$out bash scripts/release.sh >/dev/null &&
        bash tests/release/same_bytes.sh "$out" &&
        /usr/bin/python3 tests/release/check_release.py "$out" "$(head -n 1 VERSION)" "$(git log -1 --format=%ct)"
}

stage "unit tests (gcc, 64- and 32-bit integers)" unit_tests
stage "unit tests under ASan+UBSan, brief fuzzing (clang)" sanitized_tests
stage "both Windows programs built and checked" windows_builds
stage "release made twice, elsewhere too: same bytes; and checked" release_check
stage "end-to-end tests: stationclock.exe under 64-bit Wine" wine_tests 64
stage "end-to-end tests: stationclock32.exe under 32-bit Wine (qemu)" wine_tests 32

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
