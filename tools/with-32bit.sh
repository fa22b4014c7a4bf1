#!/usr/bin/env bash
# Runs a command with 32-bit (i386) Linux programs available, as Wine's 32-bit loader is one:
#   tools/with-32bit.sh COMMAND [ARGS...]
# Where the machine runs i386 code itself, COMMAND simply runs. Where its kernel cannot, COMMAND
# runs in a user namespace of its own whose private binfmt_misc hands every i386 program to the
# user-mode emulator qemu-i386 that tools/setup.sh fetched into build/third-party; 64-bit
# programs (wine64, wineserver) stay native. Nothing outside that namespace changes, and the
# namespace ends with its last process.
# COMMAND sees MEREL_32BIT=native or MEREL_32BIT=emulated. Exit status: COMMAND's; 77 with one
# line giving the reason when 32-bit programs cannot run here at all; 2 for a usage error.
set -u

[ $# -ge 1 ] || {
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
}
root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/tools/with-32bit.sh
probe=${MEREL_I386_PROBE:-/usr/lib/wine/wine}
qemu=${MEREL_QEMU_I386:-$root/build/third-party/qemu/qemu-i386}

cannot() {
    echo "32-bit programs cannot run here: $1"
    exit 77
}

# Whether an i386 program really runs: the probe (Wine's 32-bit loader) prints its version.
runs_i386() { [[ $(timeout 30 "$probe" --version 2>/dev/null) == wine-* ]]; }

# Inside the new namespace: its own binfmt_misc, with the emulator as the handler of i386 ELF
# files (magic and mask as QEMU gives them for i386). P keeps argv[0], O passes the open
# program, F opens the emulator now, so it need not be reachable from later mounts.
if [ -n "${MEREL_32BIT_NAMESPACE:-}" ]; then
    unset MEREL_32BIT_NAMESPACE
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
        cannot "no binfmt_misc of a user namespace's own (a kernel older than 6.7?)"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:POF" >/proc/sys/fs/binfmt_misc/register ||
        cannot "registering $qemu in the namespace's binfmt_misc failed"
    runs_i386 || cannot "$probe does not run under $qemu"
    export MEREL_32BIT=emulated
    exec "$@"
fi

[ -x "$probe" ] || cannot "no $probe to try (the wine32:i386 package)"
if runs_i386; then
    # Natively, or already inside such a namespace.
    export MEREL_32BIT=${MEREL_32BIT:-native}
    exec "$@"
fi
[ -x "$qemu" ] || cannot "the kernel runs no i386 code and $qemu is missing (tools/setup.sh)"
[[ $qemu != *:* ]] || cannot "the emulator's path holds a colon: $qemu"
command -v unshare >/dev/null || cannot "the kernel runs no i386 code and unshare is missing"

# A first namespace only tries the route, so that a failure of unshare itself is told apart
# from COMMAND's own exit status.
tried=$(MEREL_32BIT_NAMESPACE=1 unshare --user --map-root-user --mount "$self" true 2>&1)
case $? in
    0) ;;
    77) cannot "${tried#32-bit programs cannot run here: }" ;;
    *) cannot "the kernel runs no i386 code and no user namespace can be made: $tried" ;;
esac
MEREL_32BIT_NAMESPACE=1 exec unshare --user --map-root-user --mount "$self" "$@"
