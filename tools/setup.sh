#!/usr/bin/env bash
# Installs the Debian packages that the build, the main job and the tests need.
#   tools/setup.sh               everything: every preset, the tests, the Windows demo
#   tools/setup.sh --linux-demo  only what the Linux demo needs to build and run
# Safe to run again: it installs only what is missing. Works as root or through sudo.
set -euo pipefail

subset=all
case "${1:-}" in
    "") ;;
    --linux-demo) subset=linux-demo ;;
    *) echo "usage: $0 [--linux-demo]" >&2; exit 64 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: run as root or install sudo" >&2; exit 1; }
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

# The service, modem-sim and merel-sms, built without the tests, on a private session bus.
linux_demo_packages=(
    build-essential cmake ninja-build pkg-config libcli11-dev
    libsystemd-dev dbus dbus-daemon
)

packages=(
    "${linux_demo_packages[@]}" git clang-format scdoc man-db
    clang libclang-rt-14-dev llvm
    googletest
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    libwine-dev wine wine64 wine32:i386
    socat python3 python3-gammu python3-dbus
    msitools wixl
    dbus-bin
)

if [ "$subset" = linux-demo ]; then
    packages=("${linux_demo_packages[@]}")
# One Wine prefix runs 32-bit and 64-bit programs only with the i386 architecture enabled.
elif ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    # dpkg-query knows "name:arch" for foreign packages and "name" for native ones.
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
if [ -n "${need_update:-}" ] || [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ]; then
    $SUDO apt-get update -q
fi
if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    # A stale package list is the usual cause; refresh it once and try again.
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: done"
