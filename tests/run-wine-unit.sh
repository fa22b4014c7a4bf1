#!/usr/bin/env bash
# Runs a cross-built unit test program under Wine, in a Wine prefix of its own, with two COM
# ports that are the two ends of a pseudo-terminal pair:
#   COM5  -> one end  (MEREL_TEST_COM_WRITE; also COM12 as MEREL_TEST_COM_HIGH)
#   COM6  -> the other (MEREL_TEST_COM_READ)
# The ports are mapped by links in the prefix's dosdevices folder, which Wine 8 follows.
#
# Usage: tests/run-wine-unit.sh <path-to-merel_unit_tests.exe> [gtest arguments...]
# Exit code: the test program's; 77 (and a line with the reason) when the program cannot run on
# this machine (a 32-bit program where neither the machine nor an emulator runs 32-bit code);
# 124 when it did not finish in time; 2 for a usage or set-up error.
set -u

usage() { echo "usage: $0 <path-to-test.exe> [gtest arguments...]" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
exe=$1
shift
[[ -f $exe ]] || { echo "run-wine-unit: no such file: $exe" >&2; exit 2; }
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

wine64=${MEREL_WINE64:-/usr/lib/wine/wine64}
wine32=${MEREL_WINE32:-/usr/lib/wine/wine}
wineserver=${MEREL_WINESERVER:-/usr/lib/wine/wineserver}
boot_timeout=${MEREL_WINE_BOOT_TIMEOUT:-180}
run_timeout=${MEREL_WINE_RUN_TIMEOUT:-600}

# The machine type of a PE program: 8664 for x86-64, 14c for i386. Read from the header
# itself so that nothing but od is needed.
pe_machine() {
    local offset
    offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [[ -n $offset ]] || return 1
    [[ $(od -An -c -j"$offset" -N2 "$1" 2>/dev/null | tr -d ' ') == PE ]] || return 1
    od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}
machine=$(pe_machine "$exe") || { echo "run-wine-unit: not a Windows program: $exe" >&2; exit 2; }
loader=$wine64
case $machine in
    8664) ;;
    014c | 14c)
        # A 64-bit prefix runs 32-bit programs too, through the 32-bit loader, where the
        # machine can execute it: natively or, where the kernel cannot, under an emulator that
        # tools/with-32bit.sh provides (it gives 77 and the reason when neither works).
        loader=$wine32
        if [[ -z ${MEREL_32BIT:-} ]]; then
            exec "$(dirname "$0")/../tools/with-32bit.sh" "$0" "$exe" "$@"
        fi
        ;;
    *)
        echo "run-wine-unit: unsupported machine type 0x$machine: $exe" >&2
        exit 2
        ;;
esac
[[ -x $wine64 ]] || { echo "run-wine-unit: $wine64 not found" >&2; exit 2; }

work=$(mktemp -d "$(dirname "$exe")/wine-unit.XXXXXX") || exit 2
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
socat_pid=

# Wine goes first: a pseudo terminal that Wine holds open hangs up when socat ends, and the
# hang-up would reach a still running wineserver.
cleanup() {
    if [[ -d $WINEPREFIX ]]; then
        timeout 30 "$wineserver" -k >/dev/null 2>&1
        timeout 30 "$wineserver" -w >/dev/null 2>&1
    fi
    if [[ -n $socat_pid ]]; then
        kill "$socat_pid" 2>/dev/null
        wait "$socat_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! timeout "$boot_timeout" "$wine64" wineboot -i >"$work/wineboot.log" 2>&1; then
    echo "run-wine-unit: creating the Wine prefix failed or took over ${boot_timeout}s" >&2
    tail -n 20 "$work/wineboot.log" >&2
    exit 2
fi
timeout 60 "$wineserver" -w >/dev/null 2>&1

ports=()
if command -v socat >/dev/null; then
    socat -d -d "pty,raw,echo=0,link=$work/comA" "pty,raw,echo=0,link=$work/comB" \
        2>"$work/socat.log" &
    socat_pid=$!
    for _ in $(seq 100); do
        [[ -e $work/comA && -e $work/comB ]] && break
        sleep 0.1
    done
    if [[ -e $work/comA && -e $work/comB ]]; then
        dos=$WINEPREFIX/dosdevices
        ln -sfn "$work/comA" "$dos/com5"
        ln -sfn "$work/comB" "$dos/com6"
        ln -sfn "$work/comA" "$dos/com12"
        ports=(MEREL_TEST_COM_WRITE=COM5 MEREL_TEST_COM_READ=COM6 MEREL_TEST_COM_HIGH=COM12)
    else
        echo "run-wine-unit: socat made no pseudo terminals; the COM port tests will skip" >&2
    fi
else
    echo "run-wine-unit: socat not installed; the COM port tests will skip" >&2
fi

cd "$(dirname "$exe")" || exit 2
env "${ports[@]}" timeout -k 10 "$run_timeout" "$loader" "$exe" "$@"
rc=$?
[[ $rc -eq 124 ]] && echo "run-wine-unit: $(basename "$exe") did not finish within ${run_timeout}s" >&2
exit $rc
