#!/usr/bin/env bash
# Measures what the product costs, each measure against its reference in the same run, with
# min/median/max over repeated runs: send time and write spacing against the designed pauses,
# warm call round trips against Peer.Ping and the bus daemon's GetId (the targets taking
# turns in a rotating order), the first call of a fresh client against its Peer.Ping, cold
# activation and memory against a minimal sd-bus service, system calls while idle, the end
# after the last client, Peer.Ping and a queued call while a send runs, clients sending at
# once, a send through merel-sms-http against merel-sms's own, SMS per minute through one
# instance and over two, and (with the win64 build and Wine) COM activation and calls. Goals
# are reported, never enforced.
#
#   tools/bench.sh           the full run (about ten minutes)
#   tools/bench.sh --quick   one repetition, 3 clients at once, 2 SMS over the instances and no
#                            Wine: under two minutes, to show that it works
#
# Builds the linux-release preset; uses build/win64 when it has been configured. Everything
# runs on a private session bus with modem-sim as the modem, in a folder removed at the end.
# Writes build/bench/bench.md and bench.json and prints the table. Exits non-zero only when
# something could not be measured.
set -uo pipefail

section() { echo "== $1 (at ${SECONDS} s)"; }

root=$(cd "$(dirname "$0")/.." && pwd)
quick=false
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    *) echo "usage: $0 [--quick]" >&2; exit 64 ;;
esac

if $quick; then
    runs=1 sends=1 lives=1 ends=1 clients=3 com_runs=1 first_clients=20 spread=2 spread_runs=1
else
    runs=5 sends=5 lives=15 ends=3 clients=20 com_runs=3 first_clients=200 spread=6 spread_runs=3
fi
calls=1000       # warm round trips per run
life_calls=10000 # calls between the memory readings

build=$root/build/linux-release
win_build=$root/build/win64
out=$root/build/bench
mkdir -p "$out"
log=$out/build.log

section "Building linux-release"
if ! { cmake --preset linux-release >"$log" 2>&1 &&
    cmake --build --preset linux-release -j2 >>"$log" 2>&1; }; then
    tail -n 30 "$log"
    echo "bench: the build failed (see $log)" >&2
    exit 1
fi

work=$(mktemp -d /tmp/merel-bench.XXXXXX)
background=()
bus_pid=
wine_prefix=

# Our copies of the services, by their executable's path.
service_pids() {
    local p exe
    for p in /proc/[0-9]*; do
        exe=$(readlink "$p/exe" 2>/dev/null) || continue
        case "$exe" in "$work"/bin/*) echo "${p#/proc/}" ;; esac
    done
}

cleanup() {
    local pid
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in $(service_pids); do kill -KILL "$pid" 2>/dev/null; done
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null
        WINEPREFIX=$wine_prefix timeout 20 /usr/lib/wine/wineserver -w 2>/dev/null
    fi
    for pid in "${background[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "bench: $1" >&2
    exit 1
}


now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# Waits up to $2 seconds for a first line in file $1.
wait_line() {
    local deadline=$(($(now_ms) + $2 * 1000))
    until [ -s "$1" ]; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

samples=$out/samples.txt
: >"$samples"
client=$build/tools/bench/merel-bench-client

# ---------------------------------------------------------------- services and the bus
# Only our activation files count: an installed copy of the service must not answer instead.
export XDG_DATA_HOME=$work/data XDG_DATA_DIRS=$work/none HOME=$work LC_ALL=C.UTF-8
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE XDG_RUNTIME_DIR
mkdir -p "$work/bin" "$XDG_DATA_HOME/dbus-1/services"
# The port's lock files stay in the run's folder: the services still running at the end are
# killed, and their locks must not be left in the machine's /run/lock for a later program.
export MEREL_LOCK_DIR=$work/lock
mkdir -m 1777 "$MEREL_LOCK_DIR"
cp "$build/src/host/dbus/MerelSMSManager" "$build/tools/bench/merel-bench-minimal" "$work/bin/"
"$work/bin/MerelSMSManager" -RegServer || fail "RegServer failed"
printf '[D-BUS Service]\nName=MerelBench.Minimal\nExec=%s\n' "$work/bin/merel-bench-minimal" \
    >"$XDG_DATA_HOME/dbus-1/services/MerelBench.Minimal.service"

# The system's session bus configuration finds our activation files through XDG_DATA_HOME.
{ read -r address && read -r bus_pid; } < <(dbus-daemon --session --address="unix:path=$work/bus" \
    --fork --print-address=1 --print-pid=1 --nopidfile)
[ -n "$bus_pid" ] || fail "the private bus did not start"
export DBUS_SESSION_BUS_ADDRESS=$address

"$build/tools/modem-sim/modem-sim" --link "$work/modem" --json --transcript "$work/modem.jsonl" \
    --idle-exit 900 >"$work/modem-sim.out" 2>&1 &
background+=($!)
wait_line "$work/modem-sim.out" 10 || fail "modem-sim did not start"

# ---------------------------------------------------------------- activation, memory, end
section "Activation and memory ($lives runs)"
for ((i = 0; i < lives; i++)); do
    # The end after the last client takes the idle time: it is waited for in a few runs only.
    end=$([ "$i" -lt "$ends" ] && echo wait)
    "$client" life status "$life_calls" product $end >>"$samples" || fail "life of the service"
    "$client" life minimal "$life_calls" minimal >>"$samples" || fail "life of the reference"
done

# System calls of service $2's process in 3 s while one client holds it, as sample $1.
idle_syscalls() {
    local key=$1 target=$2 pid count
    "$client" hold "$target" 3600 >"$work/hold-$target" &
    background+=($!)
    wait_line "$work/hold-$target" 20 || fail "hold $target"
    pid=$(head -n 1 "$work/hold-$target")
    if ! command -v strace >/dev/null; then
        echo "skip $key strace is not installed" >>"$samples"
        return
    fi
    timeout -s INT 3 strace -c -f -p "$pid" -o "$work/strace-$target" 2>"$work/strace-err"
    # A process that made no system call at all gets no summary.
    count=$(awk '$NF == "total" { print $(NF - 1) }' "$work/strace-$target")
    if grep -q attached "$work/strace-err"; then
        echo "$key ${count:-0}" >>"$samples"
    else
        echo "skip $key strace could not attach: $(head -n 1 "$work/strace-err")" >>"$samples"
    fi
}
section "Idle"
idle_syscalls minimal_idle_syscalls minimal
# The client holding the service stays until the end, so that it keeps its port and settings.
idle_syscalls product_idle_syscalls status

# ---------------------------------------------------------------- warm round trips
section "Round trips ($runs × $calls calls)"
"$client" rtt "$calls" "$runs" status settings ping getid >>"$samples" || fail "round trips"

section "First calls of fresh clients ($runs × $first_clients clients)"
"$client" first "$first_clients" "$runs" status ping >>"$samples" || fail "first calls"

# ---------------------------------------------------------------- sends
busctl_call() {
    busctl --user --timeout=30 call MerelSMSManager.SMSMgr /SMSMgr MerelSMSManagerLib.ISMSMgr \
        "$@" >/dev/null
}
busctl_call Init 2>/dev/null # fixes the settings path; there is no SMSMgr.ini yet, so it fails
busctl_call SetSettings sinnnnnn "$work/modem" 460800 8 0 0 1 0 0 || fail "SetSettings"
busctl_call Init || fail "Init"

# $sends sends of each kind, as samples send_text$1 and send_pdu$1.
send_each_kind() {
    local i
    for ((i = 0; i < sends; i++)); do
        "$client" send text "send_text$1" >>"$samples" || fail "text send$1"
        "$client" send pdu "send_pdu$1" >>"$samples" || fail "PDU send$1"
    done
}
section "Sends ($sends of each kind)"
send_each_kind ""
section "While a send runs"
"$client" during-send during >>"$samples" || fail "calls during a send"
section "$clients clients at once"
"$client" parallel "$clients" parallel >>"$samples" || fail "clients at once"

# The same sends to a modem that answers, confirming each SMS 2.5 s after its message.
"$build/tools/modem-sim/modem-sim" --link "$work/answering" --json --answer ok \
    --transcript "$work/answering.jsonl" --idle-exit 900 >"$work/answering.out" 2>&1 &
background+=($!)
wait_line "$work/answering.out" 10 || fail "the answering modem-sim did not start"
busctl_call SetSettings sinnnnnn "$work/answering" 460800 8 0 0 1 0 0 || fail "SetSettings"
busctl_call Init || fail "Init with the answering modem"
section "Sends to an answering modem ($sends of each kind)"
send_each_kind _answering

# ---------------------------------------------------------------- the HTTP front
cli=$build/src/cli/merel-sms
number=+491701234567

# Prints the ms since $1, a time in µs as ${EPOCHREALTIME/./} gives it.
ms_since() {
    local us=$((${EPOCHREALTIME/./} - $1))
    printf '%d.%03d\n' $((us / 1000)) $((us % 1000))
}

# Starts merel-sms-http on a free loopback port, as $front_pid listening on $front_url. A port
# taken between the choice and the start makes it refuse (exit 69): another one is tried.
start_front() {
    local try port
    for ((try = 0; try < 5; try++)); do
        port=$((20000 + RANDOM % 30000))
        printf 'listen = 127.0.0.1:%s\ntimeout = 120\n' "$port" >"$work/http.conf"
        "$build/src/http/merel-sms-http" --config "$work/http.conf" 2>"$work/http.err" &
        front_pid=$!
        background+=("$front_pid")
        wait_line "$work/http.err" 10 || fail "merel-sms-http did not start"
        if grep -q '^merel-sms-http: listening on' "$work/http.err"; then
            front_url=http://127.0.0.1:$port
            return
        fi
        wait "$front_pid"
    done
    fail "merel-sms-http: $(head -n 1 "$work/http.err")"
}

# One text send of each way, as sample http_$1 in ms, timed as its sender waits for it:
# merel-sms from its start to its end, as a script that runs it waits; a request to the front
# from connecting to the answer's last byte, as a gateway (a program already running) waits.
# curl's own start and end (its TLS library: some 25 ms) are no part of the front's cost.
http_send() {
    local kind=$1 text=$2 start answer
    case "$kind" in
        direct)
            start=${EPOCHREALTIME/./}
            "$cli" --timeout 120 --quiet send --mode text -- "$number" "$text" \
                >/dev/null 2>"$work/http.body" || fail "merel-sms send: $(cat "$work/http.body")"
            echo "http_direct $(ms_since "$start")" >>"$samples"
            return
            ;;
        v1)
            answer=$(curl -sS --max-time 120 -o "$work/http.body" -w '%{http_code} %{time_total}' \
                -H 'Content-Type: application/json' \
                --data "{\"to\": \"$number\", \"text\": \"$text\", \"mode\": \"text\"}" \
                "$front_url/v1/messages")
            if [ "${answer% *}" != 200 ] || ! grep -q '"confirmed":true' "$work/http.body"; then
                fail "POST /v1/messages: ${answer% *} $(cat "$work/http.body")"
            fi
            ;;
        sendsms)
            answer=$(curl -sS --max-time 120 -o "$work/http.body" -w '%{http_code} %{time_total}' \
                -G --data-urlencode "to=$number" --data-urlencode "text=$text" -d coding=0 \
                "$front_url/cgi-bin/sendsms")
            [ "${answer% *}" = 202 ] ||
                fail "GET /cgi-bin/sendsms: ${answer% *} $(cat "$work/http.body")"
            ;;
    esac
    awk -v key="http_$kind" -v s="${answer#* }" 'BEGIN { printf "%s %.3f\n", key, s * 1000 }' \
        >>"$samples"
}

section "Sends through merel-sms-http against merel-sms send ($sends of each)"
start_front
kinds=(direct v1 sendsms)
for ((i = 0; i < sends; i++)); do
    # Each takes the lead in turn, so that none always follows the same one.
    for ((j = 0; j < ${#kinds[@]}; j++)); do
        http_send "${kinds[(i + j) % ${#kinds[@]}]}" "bench send $i"
    done
done
kill -TERM "$front_pid"
wait "$front_pid" || fail "merel-sms-http did not stop cleanly: $(tail -n 2 "$work/http.err")"

# ---------------------------------------------------------------- two instances
# Sends $spread SMS at once, each through the instance whose turn it is among $@, and prints
# the rate in SMS per minute.
spread_sends() {
    local start i pid failed=false pids=() names=("$@")
    start=${EPOCHREALTIME/./}
    for ((i = 0; i < spread; i++)); do
        "$cli" --timeout 300 --quiet --modem "${names[i % ${#names[@]}]}" send --mode text -- \
            "$number" "spread $i" >/dev/null 2>>"$work/spread.err" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=true; done
    $failed && return 1
    awk -v n="$spread" -v us=$((${EPOCHREALTIME/./} - start)) \
        'BEGIN { printf "%.4f\n", n * 60e6 / us }'
}

section "$spread SMS through one instance, then over two ($spread_runs runs)"
for name in a b; do
    "$work/bin/MerelSMSManager" -RegServer --instance "$name" || fail "RegServer --instance $name"
    "$build/tools/modem-sim/modem-sim" --link "$work/modem-$name" --idle-exit 900 \
        >"$work/modem-$name.out" 2>&1 &
    background+=($!)
    wait_line "$work/modem-$name.out" 10 || fail "modem-sim $name did not start"
    # Held, the instance keeps running and keeps the port that configure opens: a service that
    # starts, or opens its port, within the timed part would add its start to that part alone.
    "$client" hold status 3600 "$name" >"$work/hold-$name" &
    background+=($!)
    wait_line "$work/hold-$name" 20 || fail "hold instance $name"
    "$cli" --timeout 30 --modem "$name" configure --port "$work/modem-$name" --mode text \
        >/dev/null 2>"$work/spread.err" || fail "configure $name: $(cat "$work/spread.err")"
done
for ((i = 0; i < spread_runs; i++)); do
    rate=$(spread_sends a) || fail "sends through one instance: $(cat "$work/spread.err")"
    echo "one_instance_rate $rate" >>"$samples"
    rate=$(spread_sends a b) || fail "sends over two instances: $(cat "$work/spread.err")"
    echo "two_instances_rate $rate" >>"$samples"
done

# ---------------------------------------------------------------- COM under Wine
wine64=/usr/lib/wine/wine64
com_skip() {
    local key
    for key in com_cold_create com_invoke_median; do echo "skip $key $1" >>"$samples"; done
}
wine_servers() {
    local p
    for p in /proc/[0-9]*; do
        tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -qi "${work##*/}.*merelsmsmanager.exe" &&
            echo "${p#/proc/}"
    done
}
if $quick; then
    com_skip "quick mode: making a Wine prefix alone takes most of a minute"
elif [ ! -x "$wine64" ]; then
    com_skip "Wine is not installed"
elif [ ! -f "$win_build/CMakeCache.txt" ]; then
    com_skip "no win64 build (cmake --preset win64)"
elif ! cmake --build --preset win64 -j2 --target MerelSMSManager merel_bench_com >>"$log" 2>&1
then
    com_skip "the win64 build failed (see $log)"
else
    section "COM under Wine ($com_runs runs)"
    wine_prefix=$work/prefix
    export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX=$wine_prefix WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$work/win"
    cp "$win_build/src/host/win32/MerelSMSManager.exe" "$win_build/tools/bench/merel_bench_com.exe" \
        "$work/win/"
    if ! { timeout 300 "$wine64" wineboot -i >"$work/wineboot.log" 2>&1 &&
        timeout 60 /usr/lib/wine/wineserver -w; } ||
        ! (cd "$work/win" && timeout 120 "$wine64" MerelSMSManager.exe /RegServer >/dev/null 2>&1)
    then
        com_skip "the Wine prefix could not be set up"
    else
        for ((i = 0; i < com_runs; i++)); do
            # Output to a file: the server that Wine starts would hold a pipe open.
            (cd "$work/win" && timeout 120 "$wine64" merel_bench_com.exe "$calls" \
                >"$work/com.out" 2>&1) || fail "COM client: $(tr -d '\r' <"$work/com.out")"
            tr -d '\r' <"$work/com.out" >>"$samples"
            # The next cold creation needs the server gone; after the last, Wine is ended.
            [ $((i + 1)) -eq "$com_runs" ] && break
            deadline=$(($(now_ms) + 20000))
            while [ -n "$(wine_servers)" ]; do
                [ "$(now_ms)" -ge "$deadline" ] && fail "the COM server did not end"
                sleep 0.1
            done
        done
    fi
fi

# ---------------------------------------------------------------- report
section "Results"
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
    "Linux $(uname -r), $(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg)" |
    tee "$out/machine.txt"
"$build/tools/bench/merel-bench-report" "$samples" "$work/modem.jsonl" "$out" "$clients" \
    "$spread" || fail "the report failed"
echo "Written: $out/bench.md, $out/bench.json"
