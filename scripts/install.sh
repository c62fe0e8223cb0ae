#!/usr/bin/env bash
# Installs what building, running and testing stationclock need on Debian 12
# (as root), and the packages named as arguments. Does nothing that is
# already done.
set -euo pipefail

packages=(
    git cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev
    g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 mingw-w64-tools
    wine wine64 fonts-wine xvfb xauth x11-utils locales imagemagick python3 python3-pytest python3-pefile procps
    "$@"
)

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
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
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
