#!/usr/bin/env bash
# Runs every test of stationclock: native unit tests in both integer widths
# (also under AddressSanitizer and UndefinedBehaviorSanitizer, with a brief
# fuzzing run), static checks of both programs, the release, and the same
# end-to-end tests of each real program under 64-bit Wine: stationclock.exe,
# and stationclock32.exe under Wine's WoW64 (its code on qemu here). The two
# end-to-end stages run beside the sanitized tests and the release, once
# both programs are built; each one's output is shown when it has ended.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh || { echo "install failed"; exit 1; }

passed=0
failed=0
count() {
    if [ "$1" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
# Usage: stage NAME COMMAND...; returns the command's status.
stage() {
    local name=$1 started=$SECONDS status=0
    shift
    echo
    echo "=== $name"
    "$@" || status=$?
    if [ "$status" = 0 ]; then
        echo "=== $name: ok ($((SECONDS - started)) s)"
    else
        echo "=== $name: FAILED ($((SECONDS - started)) s)"
    fi
    return "$status"
}
# A stage in the background, its output kept in a log until it is shown.
beside=()
stage_beside() {
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/stationclock-stage.XXXXXX")
    stage "$@" >"$log" 2>&1 &
    beside+=("$!:$log")
}
show_stages_beside() {
    local entry status
    for entry in "${beside[@]}"; do
        status=0
        wait "${entry%%:*}" || status=$?
        cat "${entry#*:}"
        rm -f "${entry#*:}"
        count "$status"
    done
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
        /usr/bin/python3 tests/static/check_exe.py --self-test build/win64/stationclock.exe build/win32/stationclock32.exe | grep -v '^ok ' &&
        edit_rebuilds build/win64/resources/stationclock.manifest '$a <!-- edited -->' win64 &&
        edit_rebuilds VERSION '1s/^/1/' win64 win32
}
# An edit of a file that the programs embed rebuilds them (seconds each):
# every program named changes, and undoing the edit gives the same bytes as
# before. The file is put back whatever happens.
# Usage: edit_rebuilds FILE SED-EDIT PRESET...
edit_rebuilds() (
    file=$1 edit=$2 status=0
    shift 2
    saved=$(mktemp) && cp "$file" "$saved" || exit 1
    trap 'cmp -s "$saved" "$file" || cp "$saved" "$file"; rm -f "$saved"' EXIT
    trap 'exit 1' INT TERM HUP
    program() { if [ "$1" = win32 ]; then echo stationclock32; else echo stationclock; fi; }
    rebuild() { cmake --build --preset "$1" --target "$(program "$1")" >/dev/null; }
    same() { cmp -s "build/$1/unedited.exe" "build/$1/$(program "$1").exe"; }
    for preset; do
        rebuild "$preset" && cp "build/$preset/$(program "$preset").exe" "build/$preset/unedited.exe" || exit 1
    done
    sed -i "$edit" "$file" || exit 1
    for preset; do
        rebuild "$preset" && ! same "$preset" ||
            { echo "FAIL $(program "$preset").exe: an edit of $file does not rebuild it"; status=1; }
    done
    cp "$saved" "$file" || exit 1
    for preset; do
        rebuild "$preset" && same "$preset" ||
            { echo "FAIL $(program "$preset").exe: undoing an edit of $file does not give the same bytes"; status=1; }
    done
    [ "$status" = 0 ] && echo "ok   an edit of $file rebuilds the programs of $*; undoing it gives the same bytes"
    exit "$status"
)
# Under Wine the program opens COM1..COM20, and /dev/ttyS0 is often the
# machine's console: tests/wine/run.sh runs the tests where no serial device
# of the machine exists, and the harness writes and checks every COM link
# before each start.
wine_tests() {
    bash tests/wine/run.sh "$@"
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

# The Wine prefix that both end-to-end stages use is built (once, then
# cached) while the programs are.
mkdir -p build
bash tests/wine/isolated.sh /usr/bin/python3 tests/wine/prefixes.py build/wine-prefix \
    >build/wine-prefix.log 2>&1 &
prefix_build=$!
stage "unit tests (gcc, 64- and 32-bit integers)" unit_tests; count $?
stage "both Windows programs built and checked" windows_builds; count $?
wait "$prefix_build" || true
echo
echo "Wine prefix: $(tail -n 1 build/wine-prefix.log)"
stage_beside "end-to-end tests: stationclock32.exe under Wine's WoW64 (qemu)" wine_tests 32 --in-parts
stage_beside "end-to-end tests: stationclock.exe under 64-bit Wine" wine_tests 64
stage "unit tests under ASan+UBSan, brief fuzzing (clang)" sanitized_tests; count $?
stage "release made twice, elsewhere too: same bytes; and checked" release_check; count $?
show_stages_beside

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
