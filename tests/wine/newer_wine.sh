#!/usr/bin/env bash
# The end-to-end tests under Debian 13's Wine (10.0), in a chroot beside the
# machine's own Wine, as root on the Debian 12 machine (docs/newer_wine.md):
#
#     bash tests/wine/newer_wine.sh [pytest options]
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
root=${STATIONCLOCK_TRIXIE:-/var/cache/stationclock-trixie}
lock=${STATIONCLOCK_E2E_LOCK-/tmp/stationclock-e2e.lock}
chroot_packages=(wine wine64 wine32:i386 fonts-wine xvfb imagemagick python3 python3-pytest locales procps)
started=$SECONDS

phase() {
    echo "--- $1 ($((SECONDS - started)) s)"
}

# The Debian mirror this machine's apt uses.
debian_mirror() {
    local lists=()
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        if [ -f "$list" ]; then lists+=("$list"); fi
    done
    ((${#lists[@]})) || return 0
    awk '/^deb / { for (i = 2; i <= NF; i++) if ($i ~ "://") { print $i; break } }
         /^URIs:/ { for (i = 2; i <= NF; i++) print $i }' "${lists[@]}" |
        grep -E -m 1 '^[a-z]+://.*/debian/?$' || true
}

# Runs a command in the chroot $1 (isolated.sh). --offline: in a network
# namespace of its own as well (no network, and Xvfb's abstract sockets
# apart from the machine's).
in_chroot() {
    local offline=()
    if [ "$1" = --offline ]; then
        offline=(unshare --net --)
        shift
    fi
    "${offline[@]}" bash tests/wine/isolated.sh --root "$@"
}

chroot_ready() {
    [ -f "$1/.stationclock-ready" ] &&
        in_chroot "$1" /bin/sh -c '
            [ "$(dpkg-query -W -f="\${db:Status-Status}\n" "$@" | grep -cx installed)" = $# ] &&
            test -x /usr/lib/wine/wine64 && locale -a | grep -qi "^ru_RU\.utf-\?8$" &&
            locale -a | grep -qi "^en_US\.utf-\?8$"' \
            sh "${chroot_packages[@]}" 2>/dev/null
}

make_chroot() {
    local mirror new=$root.new
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || { echo "no Debian mirror in /etc/apt/sources.list*"; return 1; }
    rm -rf --one-file-system "$new"
    mkdir -p "$(dirname "$new")"
    nice -n 19 mmdebstrap --variant=minbase --architectures=amd64,i386 \
        --include="$(IFS=,; echo "${chroot_packages[*]}")" --customize-hook='
            sed -i "s/^# *\(ru_RU\|en_US\).UTF-8 UTF-8/\1.UTF-8 UTF-8/" "$1/etc/locale.gen"
            chroot "$1" locale-gen' trixie "$new" "$mirror" >"$new.log" 2>&1 ||
        { tail -n 20 "$new.log"; return 1; }
    touch "$new/.stationclock-ready"
    chroot_ready "$new" || { echo "the new chroot is incomplete (see $new.log)"; return 1; }
    rm -rf --one-file-system "$root"
    mv "$new" "$root"
    mv "$new.log" "$root.log"
}

phase "packages and builds on this machine"
bash scripts/install.sh mmdebstrap
for preset in win64 native; do
    cmake --preset "$preset" >/dev/null
done
nice -n 19 cmake --build --preset win64 -j"$(nproc)" >/dev/null
nice -n 19 cmake --build --preset native -j"$(nproc)" --target stationsim >/dev/null

if chroot_ready "$root"; then
    phase "Debian 13 chroot in $root: kept"
else
    phase "Debian 13 chroot in $root: making it"
    make_chroot
fi
in_chroot "$root" /usr/lib/wine/wine64 --version

phase "end-to-end tests"
lock_command=()
[ -n "$lock" ] && lock_command=(flock "$lock")
status=0
"${lock_command[@]}" unshare --net -- bash tests/wine/isolated.sh --root "$root" \
    /bin/sh -c 'cd "$1" && shift &&
        STATIONCLOCK_PREFIX_CACHE=/var/cache/stationclock-prefixes \
        python3 -m pytest -q -p no:cacheprovider tests/wine "$@"' sh "$repo" "$@" || status=$?
phase "done, pytest exit status $status"
exit "$status"
