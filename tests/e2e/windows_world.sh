# What the whole-system tests of the Windows server share, sourced by them (bash): result lines,
# a Wine prefix of the test's own with the simulated modem mapped as COM7, the programs of either
# bitness, and ways to find and wait for the test's server processes.
#
# Environment: MEREL_SOURCE, MEREL_BUILD_LINUX, MEREL_BUILD_WIN64, MEREL_BUILD_WIN32 (defaults:
# the repository and its build/linux, build/win64, build/win32); MEREL_WINDOWS_BITS=64|32, the
# server's bitness (default 64).
#
# A test sources this file, calls `need_32bit "$0" "$@"` if it runs 32-bit programs, then
# `start_world`, which makes $work (removed at the end), the prefix and the modem.

here=$(cd "$(dirname "$0")" && pwd)
MEREL_SOURCE=${MEREL_SOURCE:-$(cd "$here/../.." && pwd)}
MEREL_BUILD_LINUX=${MEREL_BUILD_LINUX:-$MEREL_SOURCE/build/linux}
MEREL_BUILD_WIN64=${MEREL_BUILD_WIN64:-$MEREL_SOURCE/build/win64}
MEREL_BUILD_WIN32=${MEREL_BUILD_WIN32:-$MEREL_SOURCE/build/win32}
BITS=${MEREL_WINDOWS_BITS:-64}
export MEREL_SOURCE MEREL_BUILD_LINUX MEREL_BUILD_WIN64 MEREL_BUILD_WIN32

WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
PORT=COM7

failures=0
ok() { echo "ok - $1"; }
not_ok() {
    echo "not ok - $1 ($2)"
    failures=$((failures + 1))
}
skip() { echo "skip - $1 ($2)"; }
# check NAME REASON-IF-FAILED CONDITION...
check() {
    local name=$1 reason=$2
    shift 2
    if "$@"; then ok "$name"; else not_ok "$name" "$reason"; fi
}

case $BITS in
    32 | 64) ;;
    *)
        not_ok "MEREL_WINDOWS_BITS" "'$BITS' is neither 32 nor 64"
        exit 1
        ;;
esac

# The build folder, Wine loader and cscript of bitness $1. A 64-bit prefix holds both cscripts:
# the 64-bit one in system32, the 32-bit one in syswow64.
build_of() { if [ "$1" = 32 ]; then echo "$MEREL_BUILD_WIN32"; else echo "$MEREL_BUILD_WIN64"; fi; }
wine_of() { if [ "$1" = 32 ]; then echo "$WINE32"; else echo "$WINE64"; fi; }
cscript_of() {
    if [ "$1" = 32 ]; then echo 'C:\windows\syswow64\cscript.exe'; else echo cscript; fi
}

# Runs the test again with 32-bit programs available (tools/with-32bit.sh) unless they are; where
# they cannot run at all, reports case $1 as skipped with the reason and ends the test.
need_32bit() {
    local name=$1 wrapper=$MEREL_SOURCE/tools/with-32bit.sh reason
    shift
    [ -n "${MEREL_32BIT:-}" ] && return 0
    if ! reason=$("$wrapper" true); then
        skip "$name" "$reason"
        exit 0
    fi
    exec "$wrapper" "$@"
}

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# Whether process $1 runs (an ended process that is not yet reaped does not).
alive() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# Waits up to $2 seconds for process $1 to end; prints the time it was seen gone.
wait_gone() {
    local deadline=$(($(now_ms) + $2 * 1000))
    while alive "$1"; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
    now_ms
}

# Waits up to $2 seconds for a line starting with $3 in file $1.
wait_line() {
    local deadline=$(($(now_ms) + $2 * 1000))
    until grep -q "^$3" "$1" 2>/dev/null; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# The running server processes of this test: a Wine loader, the emulator that runs one, or the
# server under its Windows name, with this test's server (its path holds $tag) on the command
# line. Any field counts: under the emulator the first is the emulator itself.
server_pids() {
    local p field fields
    for p in /proc/[0-9]*; do
        mapfile -d '' -t fields 2>/dev/null <"$p/cmdline" || continue
        [ ${#fields[@]} -gt 0 ] || continue
        case "${fields[0],,}" in
            *merelsmsmanager.exe | */wine64 | */wine | *-preloader | */qemu-i386) ;;
            *) continue ;;
        esac
        for field in "${fields[@]}"; do
            case "${field,,}" in
                *"${tag,,}"*merelsmsmanager.exe)
                    echo "${p#/proc/}"
                    break
                    ;;
            esac
        done
    done
}

# Waits up to $1 seconds until no server of this test runs.
wait_no_server() {
    local deadline=$(($(now_ms) + $1 * 1000))
    while [ -n "$(server_pids)" ]; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# The test lines of a client's output, passed on, their case names after "$2: " if given;
# returns 1 when one failed.
forward() {
    local rc=0 line prefix=${2:+$2: }
    while IFS= read -r line; do
        line=${line%$'\r'}
        case "$line" in
            "ok - "* | "skip - "*) echo "${line%% - *} - $prefix${line#* - }" ;;
            "not ok - "*)
                echo "not ok - $prefix${line#not ok - }"
                failures=$((failures + 1))
                rc=1
                ;;
        esac
    done <"$1"
    return $rc
}

# The last line of a script's output that is not one of Wine's own messages.
last_line() { grep -v '^[0-9a-f]*:' "$1" | tail -n 1 | tr -d '\r'; }

# The index that the modem's next command will get.
next_command() {
    local n
    n=$(grep -c '"type":"command"' "$work/transcript.jsonl" 2>/dev/null)
    echo $((${n:-0} + 1))
}

transcript_check() {
    /usr/bin/python3 "$here/windows_transcript_check.py" "$work/transcript.jsonl" "$@"
    [ $? -eq 0 ] || failures=$((failures + 1))
}

# Ends, after the test, what it started: Wine first, as a pseudo terminal that Wine holds open
# hangs up when the modem ends, and the hang-up would reach a still running wineserver.
end_world() {
    local pid
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
    if [ -d "$work/prefix" ]; then
        WINEPREFIX="$work/prefix" timeout 20 "$WINESERVER" -k 2>/dev/null
        WINEPREFIX="$work/prefix" timeout 20 "$WINESERVER" -w 2>/dev/null
    fi
    for pid in "${background[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}

# Makes $work, its Wine prefix (64-bit, which runs 32-bit programs too) and the simulated modem,
# whose transcript is $work/transcript.jsonl, mapped as $PORT. Ends the test when one fails.
start_world() {
    local deadline
    work=$(mktemp -d /tmp/merel-winsrv.XXXXXX)
    tag=$(basename "$work")
    background=()
    trap end_world EXIT
    trap 'exit 130' INT TERM

    export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX="$work/prefix"
    # No Mono or Gecko installers while the prefix is made.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # Command-line text reaches Windows programs as UTF-8.
    export LC_ALL=C.UTF-8

    if ! timeout 300 "$WINE64" wineboot -i >"$work/wineboot.log" 2>&1; then
        not_ok "Wine prefix" "wineboot failed: $(tail -n 1 "$work/wineboot.log")"
        exit 1
    fi
    timeout 60 "$WINESERVER" -w

    "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" --link "$work/modem" --json \
        --transcript "$work/transcript.jsonl" --idle-exit 900 >"$work/modem-sim.out" 2>&1 &
    background+=($!)
    deadline=$(($(now_ms) + 10000))
    until grep -q '^device: ' "$work/modem-sim.out" 2>/dev/null; do
        if [ "$(now_ms)" -ge "$deadline" ]; then
            not_ok "simulated modem" "modem-sim did not start: $(head -c 300 "$work/modem-sim.out")"
            exit 1
        fi
        sleep 0.1
    done
    # The port as Wine's device manager would map it, and the link it makes, for this run.
    timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$PORT" /d "$work/modem" /f \
        >/dev/null 2>&1
    ln -sfn "$work/modem" "$WINEPREFIX/dosdevices/${PORT,,}"
}

# Fails the test unless every file given is there and executable.
need_files() {
    local f
    for f in "$@"; do
        if [ ! -x "$f" ]; then
            not_ok "prerequisites" "missing $f: build the linux, win64 and win32 presets"
            exit 1
        fi
    done
}

idl=$MEREL_SOURCE/src/host/win32/MerelSMSManager.idl
# The identifier in the attributes of declaration $1 ("interface ISMSMgr"), braced.
idl_uuid() {
    tr '\n' ' ' <"$idl" | grep -oE "uuid\([0-9A-Fa-f-]+\)[^]]*\][[:space:]]*$1[[:space:]:{]" |
        grep -oE '[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}' | sed 's/.*/{&}/'
}
IID=$(idl_uuid 'interface ISMSMgr') IID2=$(idl_uuid 'interface ISMSMgr2')
LIBID=$(idl_uuid 'library MerelSMSManagerLib') CLSID=$(idl_uuid 'coclass SMSMgr')
APPID=$(grep -o 'kAppId = u"{[^"]*}"' "$MEREL_SOURCE/src/host/win32/server_ids.h" | grep -o '{.*}')
