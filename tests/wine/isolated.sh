#!/usr/bin/env bash
# Runs a command (as root) where no serial device of the machine and no
# console exist: in a private mount namespace whose /dev holds only null,
# zero, full, random, urandom, a pts instance of its own and shm. On these
# machines /dev/ttyS0 is the console, and Wine maps whatever /dev/ttyS* it
# finds to COM ports.
#
#     bash tests/wine/isolated.sh COMMAND [ARGS...]
set -euo pipefail
exec unshare --mount --propagation private -- /bin/bash -euc '
    host=$(mktemp -d)
    mount --bind /dev "$host"
    mount -t tmpfs -o mode=0755,nosuid dev /dev
    for node in null zero full random urandom; do
        touch "/dev/$node"
        mount --bind "$host/$node" "/dev/$node"
    done
    umount "$host"
    rmdir "$host"
    mkdir /dev/pts /dev/shm
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
    ln -s pts/ptmx /dev/ptmx
    mount -t tmpfs -o mode=1777,nosuid,nodev shm /dev/shm
    ln -s /proc/self/fd /dev/fd
    ln -s fd/0 /dev/stdin
    ln -s fd/1 /dev/stdout
    ln -s fd/2 /dev/stderr
    exec "$@"
' isolated "$@"
