#!/usr/bin/env bash
# Runs every test of stationclock: native unit tests in both integer widths
# (also under AddressSanitizer and UndefinedBehaviorSanitizer, with a brief
# fuzzing run), static checks of both programs, end-to-end tests of the real
# program under Wine, and a smoke test of the 32-bit program.
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
unit_tests() {
    build native && run_ctest native
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
    local dir=build/win64 manifest=build/win64/resources/stationclock.manifest edited=1
    cp "$dir/stationclock.exe" "$dir/unedited.exe" && cp "$manifest" "$dir/unedited.manifest" || return 1
    echo '<!-- edited -->' >>"$manifest"
    cmake --build --preset win64 --target stationclock >/dev/null && grep -qa 'edited -->' "$dir/stationclock.exe" &&
        edited=0
    cp "$dir/unedited.manifest" "$manifest" && cmake --build --preset win64 --target stationclock >/dev/null &&
        cmp -s "$dir/unedited.exe" "$dir/stationclock.exe" && [ "$edited" = 0 ] &&
        echo "ok   stationclock.exe: an edit of its manifest rebuilds it" ||
        { echo "FAIL stationclock.exe: an edit of its manifest does not rebuild it"; return 1; }
}
# Under Wine the program opens COM1..COM20, and /dev/ttyS0 is often the
# machine's console. The harness maps every port before each start; on top of
# that the tests run where the machine's serial devices are /dev/null.
wine_tests() {
    unshare --mount --propagation private -- /bin/bash -c '
        for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
            [ -e "$device" ] && { mount --bind /dev/null "$device" || exit 1; }
        done
        exec /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/wine'
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
wine32_smoke() {
    bash tests/wine32/smoke.sh
}

stage "unit tests (gcc, 64- and 32-bit integers)" unit_tests
stage "unit tests under ASan+UBSan, brief fuzzing (clang)" sanitized_tests
stage "both Windows programs built and checked" windows_builds
stage "release made twice, elsewhere too: same bytes; and checked" release_check
stage "end-to-end tests under Wine" wine_tests
if [ -f tests/wine32/smoke.sh ]; then
    stage "32-bit program under 32-bit Wine" wine32_smoke
fi

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
