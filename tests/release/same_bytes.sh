#!/usr/bin/env bash
# Makes the release a second time, in a clone at another path with its own
# build folders and some seconds after the first, and requires the same
# bytes: both programs and the zip, as SHA256SUMS lists them.
# Usage: same_bytes.sh DIST (the folder of the first release).
# Uncommitted changes are copied into the clone, so that both see the same
# sources.
set -euo pipefail
first=$(realpath "$1")
cd "$(dirname "$0")/../.."

copy=$(mktemp -d /tmp/stationclock-rebuild.XXXXXX)
trap 'rm -rf "$copy"' EXIT
git clone -q --shared --no-checkout . "$copy"
git -C "$copy" checkout -q --detach "$(git rev-parse HEAD)"
git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$copy"

(cd "$copy" && RELEASE_DIST=dist bash scripts/release.sh >/dev/null 2>&1) ||
    { echo "FAIL the second release in $copy failed"; exit 1; }
if cmp -s "$first/SHA256SUMS" "$copy/dist/SHA256SUMS"; then
    sed 's/^[0-9a-f]*  /ok   same bytes from a second build at another path: /' "$first/SHA256SUMS"
    exit 0
fi
echo "FAIL the second release differs (bytes: offset, first, second)"
while read -r _ name; do
    cmp -l "$first/$name" "$copy/dist/$name" | head -n 8 | sed "s|^|  $name |" || true
done <"$first/SHA256SUMS"
exit 1
