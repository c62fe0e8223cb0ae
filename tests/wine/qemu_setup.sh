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
bash "$(dirname "$0")/../../scripts/install.sh" wine32:i386 qemu-user-static

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
