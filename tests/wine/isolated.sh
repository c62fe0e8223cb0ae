#!/usr/bin/env bash
# Runs a command (as root) where no serial device of the machine and no
# console exist: in a private mount namespace whose /dev holds only null,
# zero, full, random, urandom, a pts instance of its own and shm. On these
# machines /dev/ttyS0 is the console, and Wine maps whatever /dev/ttyS* it
# finds to COM ports.
#
#     bash tests/wine/isolated.sh [--root DIR] COMMAND [ARGS...]
#
# --root DIR runs it in the chroot DIR instead, with such a /dev, a /proc of
# its own pid namespace, a tmpfs /tmp, the repository bound at its own path
# and a clean environment.
set -euo pipefail
root=
if [ "${1:-}" = --root ]; then
    root=$2
    shift 2
fi
repo=$(cd "$(dirname "$0")/../.." && pwd)
exec unshare --mount --propagation private ${root:+--pid --ipc --fork} -- /bin/bash -euc '
    root=$1 repo=$2
    shift 2
    host=$(mktemp -d)
    mount --bind /dev "$host"
    mount -t tmpfs -o mode=0755,nosuid dev "$root/dev"
    for node in null zero full random urandom; do
        touch "$root/dev/$node"
        mount --bind "$host/$node" "$root/dev/$node"
    done
    umount "$host"
    rmdir "$host"
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s fd/0 "$root/dev/stdin"
    ln -s fd/1 "$root/dev/stdout"
    ln -s fd/2 "$root/dev/stderr"
    [ -n "$root" ] || exec "$@"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$root/tmp"
    mkdir -p "$root$repo"
    mount --bind "$repo" "$root$repo"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 ${TZ+"TZ=$TZ"} \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
' isolated "$root" "$repo" "$@"
