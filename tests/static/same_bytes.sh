#!/usr/bin/env bash
# Builds both programs a second time, in a clone at another path with its own
# build folders, and requires them to be byte-identical to
# build/win64/stationclock.exe and build/win32/stationclock32.exe.
# Uncommitted changes are copied into the clone, so that both builds see the
# same sources.
set -euo pipefail
cd "$(dirname "$0")/../.."

copy=$(mktemp -d /tmp/stationclock-rebuild.XXXXXX)
trap 'rm -rf "$copy"' EXIT
git clone -q --shared --no-checkout . "$copy"
git -C "$copy" checkout -q --detach "$(git rev-parse HEAD)"
git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$copy"

status=0
for pair in win64:stationclock win32:stationclock32; do
    preset=${pair%%:*}
    program=${pair#*:}
    (cd "$copy" && cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" --target "$program" -j"$(nproc)" >/dev/null) ||
        { echo "FAIL $program: second build in $copy failed"; status=1; continue; }
    if cmp -s "build/$preset/$program.exe" "$copy/build/$preset/$program.exe"; then
        echo "ok   $program.exe: same bytes from a second build at another path"
    else
        echo "FAIL $program.exe: the second build differs (bytes: offset, first, second)"
        cmp -l "build/$preset/$program.exe" "$copy/build/$preset/$program.exe" | head -n 8 || true
        status=1
    fi
done
exit $status
