#!/usr/bin/env bash
# Makes this Debian 12 x86-64 machine able to start 32-bit Wine (as root).
# The kernel here refuses i386 executables, so 32-bit Wine runs under qemu
# user emulation: the i386 loader is handed to qemu-i386-static through a
# binfmt_misc entry. Every step is skipped when it is already done.
set -euo pipefail

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture"
    dpkg --add-architecture i386
fi
# Each i386 library must be at the version of its amd64 twin (Multi-Arch:
# same). When the mirror's i386 security list cannot be had (seen: a mirror
# serving an old copy of it), that fails for libraries whose amd64 security
# update has no i386 build in the lists. Then install from the lists both
# architectures have: the security suite's updates set aside for this
# install, and the amd64 libraries wine32 shares at a version that no i386
# list holds taken back to the version of their i386 twin.
if ! bash "$(dirname "$0")/../../scripts/install.sh" wine32:i386 qemu-user-static; then
    echo "installing wine32 from the lists that both architectures have"
    preferences=$(mktemp -d)
    trap 'rm -rf "$preferences"' EXIT
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 50\n' > "$preferences/i386"
    options=(-o "Dir::Etc::PreferencesParts=$preferences")
    needed=$(apt-cache depends --recurse --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances wine32:i386 | grep -o '^[a-z0-9][^ ]*:i386$' | sort -u)
    back=()
    while read -r name version; do
        grep -qx "$name:i386" <<<"$needed" || continue
        twin=$(apt-cache "${options[@]}" policy "$name:i386" | awk '/Candidate:/ {print $2}')
        if [ -n "$twin" ] && [ "$twin" != "(none)" ] && dpkg --compare-versions "$version" gt "$twin"; then
            back+=("$name:amd64=$twin")
        fi
    done < <(dpkg-query -W -f='${Package} ${Version} ${Architecture} ${Multi-Arch}\n' |
        awk '$3 == "amd64" && $4 == "same" {print $1, $2}')
    echo "amd64 libraries taken back to their i386 twin's version: ${back[*]:-none}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --allow-downgrades "${options[@]}" \
        wine32:i386 qemu-user-static "${back[@]}" >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/status" ] && [ "$(cat "$binfmt/status")" = enabled ] || echo 1 > "$binfmt/status"

# The F flag opens the interpreter now, so it keeps working inside other
# mount namespaces and chroots.
entry=$binfmt/qemu-i386
if [ -e "$entry" ] && ! grep -q '^interpreter /usr/bin/qemu-i386-static$' "$entry"; then
    echo "replacing the qemu-i386 binfmt entry: $(grep '^interpreter' "$entry")"
    echo -1 > "$entry"
fi
if [ ! -e "$entry" ]; then
    echo "registering /usr/bin/qemu-i386-static for i386 executables"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$binfmt/register"
fi
grep -q '^enabled$' "$entry"
grep -q '^flags: .*F' "$entry"
