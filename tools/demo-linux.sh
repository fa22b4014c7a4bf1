#!/usr/bin/env bash
# The main job on Linux: MerelSMSManager as a D-Bus service sends one SMS in text mode and one
# in PDU mode to a simulated modem, and the simulator shows what it received.
#
# Everything happens in a temporary folder with a private session bus: the build tree, your
# own session bus and your ~/.local/share stay untouched. Takes about half a minute once built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MEREL_BUILD_LINUX:-$root/build/linux}

say() { printf '\n\033[1m==> %s\033[0m\n' "$*"; }
note() { printf '    %s\n' "$*"; }

say "Building MerelSMSManager and modem-sim (preset linux, $build)"
build_log=$(mktemp /tmp/merel-demo-build.XXXXXX)
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake --preset linux -B "$build"; } &&
    cmake --build "$build" --target MerelSMSManager modem-sim; } >"$build_log" 2>&1; then
    tail -n 30 "$build_log"
    echo "demo: the build failed (whole log: $build_log)" >&2
    exit 1
fi
rm -f "$build_log"
server_built="$build/src/host/dbus/MerelSMSManager"
modem_sim="$build/tools/modem-sim/modem-sim"

work=$(mktemp -d /tmp/merel-demo.XXXXXX)
bus_pid="" sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    # The service ends by itself when its bus goes away; give it a moment.
    for _ in $(seq 50); do
        pgrep -f "^$work/bin/MerelSMSManager" >/dev/null || break
        sleep 0.1
    done
    rm -rf "$work"
}
trap cleanup EXIT

# The service keeps SMSMgr.ini beside its executable, so it runs from a copy in $work.
mkdir -p "$work/bin"
cp "$server_built" "$work/bin/MerelSMSManager"
server="$work/bin/MerelSMSManager"
export XDG_DATA_HOME="$work/data" HOME="$work"
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE

say "Starting a private session bus"
{ read -r address; read -r bus_pid; } < <(dbus-daemon --session --fork --nopidfile \
    --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS="$address"
note "address $DBUS_SESSION_BUS_ADDRESS"

say "Registering the service: $server -RegServer"
"$server" -RegServer
note "activation file $XDG_DATA_HOME/dbus-1/services/MerelSMSManager.SMSMgr.service:"
sed 's/^/      /' "$XDG_DATA_HOME/dbus-1/services/MerelSMSManager.SMSMgr.service"
note "the bus now starts the service for the first call to MerelSMSManager.SMSMgr"

say "Starting the simulated modem"
"$modem_sim" --link "$work/modem" --transcript "$work/transcript.txt" --idle-exit 120 \
    >"$work/modem-sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
    [ -s "$work/modem-sim.out" ] && break
    sleep 0.1
done
note "modem-sim $(head -n 1 "$work/modem-sim.out"), reachable as $work/modem"

# One client call with busctl, shown as typed.
call() {
    local method=$1
    shift
    printf '    $ busctl --user call MerelSMSManager.SMSMgr /SMSMgr MerelSMSManagerLib.ISMSMgr %s' \
        "$method"
    [ $# -gt 0 ] && printf ' %q' "$@"
    printf '\n'
    local out
    if out=$(busctl --user --timeout=60 call MerelSMSManager.SMSMgr /SMSMgr \
        MerelSMSManagerLib.ISMSMgr "$method" "$@" 2>&1); then
        printf '      %s\n' "${out:-(S_OK)}"
    else
        printf '      %s\n' "$out"
        return 1
    fi
}

say "Writing SMSMgr.ini beside the service: it names the simulator's device as the port"
printf 'Port:%s\r\nBaudrate:460800\r\n' "$work/modem" >"$work/bin/SMSMgr.ini"
sed 's/\r$//; s/^/      /' "$work/bin/SMSMgr.ini"

say "Init: read SMSMgr.ini, open and configure the port (the first call starts the service)"
call Init
note "status (settings file loaded, log file open, port open, port configured):"
call GetSMSManagerStatus

say "Text mode: character set 0, then SendMessage (five commands, one second apart)"
call SetSettings sinnnnnn "$work/modem" 460800 8 0 0 1 0 0
call SendMessage ss "+49 170 1234567" "Hello from MerelSMSManager"

say "PDU mode: character set 1, then SendMessage with UCS2 text (six commands)"
call SetSettings sinnnnnn "$work/modem" 460800 8 0 0 1 0 1
call SendMessage ss "+49 170 1234567" "Grüße aus Linux 😀"

say "The settings now stored, and the status"
call GetSettings
call GetSMSManagerStatus

say "What the modem received (modem-sim's transcript)"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
sed 's/^/    /' "$work/transcript.txt"

say "Unregistering: $server -UnregServer"
"$server" -UnregServer
note "service file removed; stopping the bus ends the service at once"
kill "$bus_pid"
bus_pid=""

say "Done"
note "Try it yourself: the methods and their parameter names are in"
note "  busctl --user introspect MerelSMSManager.SMSMgr /SMSMgr"
note "once '$server_built -RegServer' has registered the service on your session bus."
