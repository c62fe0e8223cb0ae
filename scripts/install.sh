#!/usr/bin/env bash
# Installs what building, running and testing stationclock need on Debian 12
# (as root), and the packages named as arguments. Does nothing that is
# already done.
#
# Wine comes with its 32-bit half (wine32:i386), so that every Wine prefix
# is made able to run stationclock32.exe as 64-bit Windows runs it. The
# kernel here refuses i386 executables, so the 32-bit Wine loader is handed
# to qemu-i386-static through a binfmt_misc entry.
set -euo pipefail

packages=(
    git cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev
    g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 mingw-w64-tools
    wine wine64 wine32:i386 qemu-user-static fonts-wine xvfb xauth x11-utils locales
    imagemagick python3 python3-pytest python3-pefile procps nlohmann-json3-dev
    "$@"
)

dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    # A mirror in the middle of a sync fails an update now and then: try
    # again, then go on with the lists there are; the install says whether
    # they do.
    apt-get update -qq || { sleep 10; apt-get update -qq; } ||
        echo "apt-get update failed twice: installing from the lists there are"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; then
        # Each i386 library must be at the version of its amd64 twin
        # (Multi-Arch: same). When the mirror's i386 security list cannot be
        # had (seen: a mirror serving an old copy of it), that fails for
        # libraries whose amd64 security update has no i386 build in the
        # lists. Then install from the lists both architectures have: the
        # security suite's updates set aside for this install, and the amd64
        # libraries wine32 shares at a version no i386 list holds taken back
        # to the version of their i386 twin.
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
            "${missing[@]}" "${back[@]}" >/dev/null
    fi
fi

# Wine takes its ANSI code page from the locale: ru_RU gives code page 1251,
# en_US (a Windows whose language is not Cyrillic, in one test) 1252.
for name in ru_RU en_US; do
    if ! locale -a 2>/dev/null | grep -qi "^$name\.utf-\?8$"; then
        sed -i "s/^# *$name.UTF-8 UTF-8/$name.UTF-8 UTF-8/" /etc/locale.gen
        grep -q "^$name.UTF-8 UTF-8" /etc/locale.gen || echo "$name.UTF-8 UTF-8" >> /etc/locale.gen
        locale-gen >/dev/null
    fi
done

# i386 executables to qemu. The F flag opens the interpreter now, so it
# keeps working inside other mount namespaces and chroots.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ "$(cat "$binfmt/status")" = enabled ] || echo 1 > "$binfmt/status"
entry=$binfmt/qemu-i386
if [ -e "$entry" ] && ! grep -q '^interpreter /usr/bin/qemu-i386-static$' "$entry"; then
    echo "replacing the qemu-i386 binfmt entry: $(grep '^interpreter' "$entry")"
    echo -1 > "$entry"
fi
if [ ! -e "$entry" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$binfmt/register"
fi
grep -q '^enabled$' "$entry" && grep -q '^flags: .*F' "$entry" ||
    { echo "qemu-i386 is not registered for i386 executables"; exit 1; }
