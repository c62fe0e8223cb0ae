#!/usr/bin/env bash
# Makes a release of the checked-out commit: builds both programs and writes
# dist/stationclock-VERSION.zip (stationclock.exe, stationclock32.exe and the
# guide README.txt, at the top level of the zip), dist/stationclock-VERSION/
# (the zip unpacked, as Windows' "Extract All" names the folder) and
# dist/SHA256SUMS (the zip and the two programs in that folder). Every entry
# of the zip is dated with the commit's time, so two releases of one commit
# are byte-identical. RELEASE_DIST names another folder than dist.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

version=$(head -n 1 VERSION)
dist=${RELEASE_DIST:-dist}
# The programs take their time stamp from the commit by themselves; the zip's
# entries are dated the same way.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)} ||
    { echo "release: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
[ -z "$(git status --porcelain 2>/dev/null)" ] ||
    echo "release: warning: uncommitted changes; the zip is dated by the last commit" >&2

cmake --preset win64 >/dev/null && cmake --build --preset win64 -j"$(nproc)" --target stationclock >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 -j"$(nproc)" --target stationclock32 >/dev/null

rm -rf build/release
cmake -S release -B build/release -DPROGRAM_DIR64="$PWD/build/win64" -DPROGRAM_DIR32="$PWD/build/win32" >/dev/null
SOURCE_DATE_EPOCH=$epoch cpack --config build/release/CPackConfig.cmake >/dev/null

zip=stationclock-$version.zip
rm -rf "$dist"
mkdir -p "$dist"
cp "build/release/package/$zip" "$dist/"
/usr/bin/python3 -m zipfile -e "$dist/$zip" "$dist/stationclock-$version"
cmp build/win64/stationclock.exe "$dist/stationclock-$version/stationclock.exe"
cmp build/win32/stationclock32.exe "$dist/stationclock-$version/stationclock32.exe"
cd "$dist"
sha256sum "$zip" "stationclock-$version/stationclock.exe" "stationclock-$version/stationclock32.exe" >SHA256SUMS
sha256sum -c --quiet SHA256SUMS
echo "release $version: $PWD/$zip"
cat SHA256SUMS
