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

# The service, modem-sim and merel-sms, built without the tests, on a private session bus. The
# release build that they come from also configures the HTTP front, which needs cpp-httplib.
linux_demo_packages=(
    build-essential cmake ninja-build pkg-config libcli11-dev nlohmann-json3-dev
    libcpp-httplib-dev libsystemd-dev dbus dbus-daemon
)

packages=(
    "${linux_demo_packages[@]}" git clang-format scdoc man-db
    clang libclang-rt-14-dev llvm
    googletest
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    libwine-dev wine wine64 wine32:i386
    socat python3 python3-dbus
    dbus-bin strace
    lintian systemd msitools wixl
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
else
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
fi
[ "$subset" = linux-demo ] && exit 0

# Wine's 32-bit loader needs a machine that runs i386 code. Where the kernel cannot, the tests
# run it under the user-mode emulator qemu-i386 (see tools/with-32bit.sh), taken from the
# distribution's backports: the stable release's emulator ignores the address hints that Wine's
# loader relies on and starts every 32-bit process a minute late. A private apt configuration
# fetches the package without touching the machine's apt sources or lists; only the emulator
# is kept, in build/, which git ignores.
root=$(cd "$(dirname "$0")/.." && pwd)
qemu_dir=$root/build/third-party/qemu
if [ -x "$qemu_dir/qemu-i386" ] ||
    [[ $(timeout 30 /usr/lib/wine/wine --version 2>/dev/null) == wine-* ]]; then
    exit 0
fi

# The URI of the machine's apt source for suite $1 (one-line or deb822 form).
debian_mirror() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # deb [options] URI SUITE COMPONENTS...
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\{0,1\}\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/\2 \3/p' "$f" |
            awk -v suite="$1" '$2 == suite { print $1 }'
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v suite="$1" 'BEGIN { RS = ""; FS = "\n" }
            { uri = ""; hit = 0
              for (i = 1; i <= NF; i++) {
                  n = split($i, w, /[ \t]+/)
                  if (w[1] == "URIs:") uri = w[2]
                  if (w[1] == "Suites:") for (j = 2; j <= n; j++) if (w[j] == suite) hit = 1
              }
              if (hit && uri != "") print uri }' "$f"
    done
}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$(debian_mirror "$codename" | head -n 1 || true)
if [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "setup: no apt source for '$codename' to take qemu-i386 from; 32-bit tests will skip" >&2
    exit 0
fi
echo "setup: fetching qemu-i386 from $codename-backports"
apt_dir=$root/build/third-party/apt
rm -rf "$apt_dir"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$qemu_dir"
echo "deb $mirror $codename-backports main" >"$apt_dir/sources.list"
printf '%s\n' "Dir::Etc::SourceList \"$apt_dir/sources.list\";" \
    "Dir::Etc::SourceParts \"$apt_dir/parts\";" \
    "Dir::State::Lists \"$apt_dir/lists\";" \
    "Dir::Cache \"$apt_dir/cache\";" \
    "APT::Architectures { \"$(dpkg --print-architecture)\"; };" \
    "APT::Sandbox::User \"$(id -un)\";" \
    "Debug::NoLocking \"true\";" >"$apt_dir/apt.conf"
if (cd "$apt_dir" && export APT_CONFIG="$apt_dir/apt.conf" &&
    apt-get update -q >update.log 2>&1 &&
    apt-get download -q qemu-user >download.log 2>&1 &&
    dpkg-deb --fsys-tarfile qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$qemu_dir/new") &&
    chmod 755 "$qemu_dir/new" && mv "$qemu_dir/new" "$qemu_dir/qemu-i386"; then
    echo "setup: $("$qemu_dir/qemu-i386" --version | head -n 1) in ${qemu_dir#"$root"/}"
else
    echo "setup: fetching qemu-i386 failed; 32-bit tests will skip" >&2
    tail -n 5 "$apt_dir"/*.log >&2
    rm -f "$qemu_dir/new"
fi
rm -rf "$apt_dir"
