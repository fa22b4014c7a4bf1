#!/usr/bin/env bash
# The main job on Linux: MerelSMSManager as a D-Bus service, driven by merel-sms as a new user
# would: register the service, the first-run `configure`, then one send in each mode to a
# simulated modem, whose transcript shows what it received.
#
# Everything happens in a temporary folder with a private session bus: your own session bus
# and your ~/.local/share stay untouched. Builds the release preset without the tests (set
# MEREL_BUILD_LINUX to use another build folder). Takes about half a minute once built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MEREL_BUILD_LINUX:-$root/build/linux-release}

# Colour only for a reader at a terminal, not in a log file.
bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
say() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '    %s\n' "$*"; }

say "Building MerelSMSManager, merel-sms and modem-sim ($build)"
build_log=$(mktemp /tmp/merel-demo-build.XXXXXX)
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake --preset linux-release -B "$build"; } &&
    cmake --build "$build" --target MerelSMSManager merel-sms modem-sim; } >"$build_log" 2>&1; then
    tail -n 30 "$build_log"
    echo "demo: the build failed (whole log: $build_log)" >&2
    exit 1
fi
rm -f "$build_log"
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

# Installed as a user would: the service in a folder of its own (SMSMgr.ini lands beside it),
# the client on PATH.
mkdir -p "$work/bin"
cp "$build/src/host/dbus/MerelSMSManager" "$build/src/cli/merel-sms" "$work/bin/"
export PATH="$work/bin:$PATH"
export XDG_DATA_HOME="$work/data" HOME="$work"
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE

say "Starting a private session bus"
{ read -r address; read -r bus_pid; } < <(dbus-daemon --session --fork --nopidfile \
    --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS="$address"
note "address $DBUS_SESSION_BUS_ADDRESS"

# One command, shown as typed, then its output indented.
run() {
    local shown="    \$" a
    for a in "$@"; do
        if [[ $a =~ ^[[:alnum:]_./:=+-]+$ ]]; then shown+=" $a"; else shown+=" \"$a\""; fi
    done
    printf '%s\n' "$shown"
    "$@" 2>&1 | sed 's/^/      /'
    return "${PIPESTATUS[0]}"
}

say "Installing: the service registers itself with the session bus"
run MerelSMSManager -RegServer
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

say "First run: tell the service where the modem is (there is no SMSMgr.ini yet)"
run merel-sms configure --port "$work/modem"
run merel-sms settings
run merel-sms status

say "Text mode: the text goes out in code page 437 (ü = 0x81, ß = 0xE1)"
run merel-sms send --mode text "+49 170 1234567" "Grüße aus Linux"

say "PDU mode: the text goes out in UCS2, so any character fits"
run merel-sms send --mode pdu "+49 170 1234567" "Grüße aus Linux 😀"

say "The stored mode (text), after the service has ended idle: merel-sms makes its Init again"
note "waiting 7 s: the service ends 5 s after its last client and forgets its Init"
sleep 7
run merel-sms send "+49 170 1234567" "Hello again"

say "The same as JSON, for scripts"
run merel-sms --json status

say "A refused text: the euro sign has no code page 437 form"
run merel-sms send --mode text "+49 170 1234567" "5 €" || note "exit code $?"

say "What the modem received (modem-sim's transcript)"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
sed 's/^/    /' "$work/transcript.txt"

say "Unregistering"
run MerelSMSManager -UnregServer
note "service file removed; stopping the bus ends the service at once"
kill "$bus_pid"
bus_pid=""

say "Done"
note "Try it yourself: register your copy once with"
note "  $build/src/host/dbus/MerelSMSManager -RegServer"
note "then: merel-sms configure --port /dev/ttyUSB0 && merel-sms send NUMBER TEXT"
