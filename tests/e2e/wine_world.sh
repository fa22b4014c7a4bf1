# shellcheck shell=bash disable=SC2034  # the variables set here are for the sourcing script
# Shared parts of the whole-system tests under Wine, sourced by windows_*.sh: the ok / not ok /
# skip lines, a work folder with its own Wine prefix that is removed at the end together with
# every process started, the simulated modem on a pseudo terminal mapped as a COM port, and
# registry reads.
#
# The sourcing script sets `here` (its folder) first, then calls wine_world_start NAME.
# Afterwards: $work (the folder), $tag (its name, unique to the run), background (an array:
# add the pids of processes started in the background) and $failures.

MEREL_SOURCE=${MEREL_SOURCE:-$(cd "$here/../.." && pwd)}
MEREL_BUILD_LINUX=${MEREL_BUILD_LINUX:-$MEREL_SOURCE/build/linux}
MEREL_BUILD_WIN64=${MEREL_BUILD_WIN64:-$MEREL_SOURCE/build/win64}
MEREL_BUILD_WIN32=${MEREL_BUILD_WIN32:-$MEREL_SOURCE/build/win32}

WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver

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

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

wine_world_cleanup() {
    local pid
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
    if [ -d "$work/prefix" ]; then
        WINEPREFIX="$work/prefix" timeout 20 "$WINESERVER" -k 2>/dev/null
        WINEPREFIX="$work/prefix" timeout 20 "$WINESERVER" -w 2>/dev/null
    fi
    for pid in "${background[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}

# wine_world_start NAME: the work folder /tmp/NAME.XXXXXX and the Wine environment.
wine_world_start() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    tag=$(basename "$work")
    background=()
    trap wine_world_cleanup EXIT
    trap 'exit 130' INT TERM
    export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX="$work/prefix"
    # No Mono or Gecko installers while the prefix is made.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # Command-line text reaches Windows programs as UTF-8.
    export LC_ALL=C.UTF-8
}

# Makes the Wine prefix; false (with a "not ok" line) when that fails.
wine_world_prefix() {
    if ! timeout 300 "$WINE64" wineboot -i >"$work/wineboot.log" 2>&1; then
        not_ok "Wine prefix" "wineboot failed: $(tail -n 1 "$work/wineboot.log")"
        return 1
    fi
    timeout 60 "$WINESERVER" -w
}

# wine_world_modem MODEM-SIM PORT: the simulated modem, writing $work/transcript.jsonl, reached
# as PORT (COM7) by Windows programs; false (with a "not ok" line) when it does not start.
wine_world_modem() {
    local modem_sim=$1 port=$2
    "$modem_sim" --link "$work/modem" --json --transcript "$work/transcript.jsonl" \
        --idle-exit 900 >"$work/modem-sim.out" 2>&1 &
    background+=($!)
    local deadline=$(($(now_ms) + 10000))
    until grep -q '^device: ' "$work/modem-sim.out" 2>/dev/null; do
        if [ "$(now_ms)" -ge "$deadline" ]; then
            not_ok "simulated modem" "modem-sim did not start: $(head -c 300 "$work/modem-sim.out")"
            return 1
        fi
        sleep 0.1
    done
    # The port as Wine's device manager would map it, and the link it makes, for this run.
    timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$work/modem" /f \
        >/dev/null 2>&1
    ln -sfn "$work/modem" "$WINEPREFIX/dosdevices/${port,,}"
}

# The index that the modem's next command will get.
next_command() {
    local n
    n=$(grep -c '"type":"command"' "$work/transcript.jsonl" 2>/dev/null)
    echo $((${n:-0} + 1))
}

# transcript_check FIRST LABEL SEND...: the modem received the named sends from command FIRST.
transcript_check() {
    /usr/bin/python3 "$here/windows_transcript_check.py" "$work/transcript.jsonl" "$@"
    [ $? -eq 0 ] || failures=$((failures + 1))
}

# reg_dump KEY [VIEW-SWITCH]: the key with everything below it, as reg query prints it.
reg_dump() { timeout 60 "$WINE64" reg query "$1" /s ${2:+"$2"} 2>/dev/null | tr -d '\r'; }
# key_exists KEY [VIEW-SWITCH]
key_exists() { timeout 60 "$WINE64" reg query "$@" >/dev/null 2>&1; }

# The server's fixed identifiers, read from its sources: $IID, $LIBID, $CLSID, $APPID.
read_server_ids() {
    local idl=$MEREL_SOURCE/src/host/win32/MerelSMSManager.idl uuids
    mapfile -t uuids < <(grep -o 'uuid([0-9A-Fa-f-]*)' "$idl" | sed 's/uuid(\(.*\))/{\1}/')
    IID=${uuids[0]} LIBID=${uuids[1]} CLSID=${uuids[2]}
    APPID=$(grep -o 'kAppId = u"{[^"]*}"' "$MEREL_SOURCE/src/host/win32/server_ids.h" |
        grep -o '{.*}')
}
