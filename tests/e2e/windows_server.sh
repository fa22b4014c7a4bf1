#!/usr/bin/env bash
# Whole-system test of MerelSMSManager.exe, the Windows automation server, under Wine:
# registration and unregistration read back from the registry, a C++ client through the table
# of methods and through IDispatch, a VBScript client under cscript, two clients sharing the
# one object, and the server's end 5 to 8 seconds after its last client. A simulated modem on
# a pseudo terminal, mapped as COM7, receives the sends; its transcript is checked byte for
# byte. A second one, mapped as COM8, receives the sends after the settings move to it. A
# server started by hand that no client reaches ends after the idle time. The server's Event
# Log entries for the calls of merel-sms are read from Wine's event-log debug channel.
# Everything runs in a Wine prefix of its own, removed at the end.
#
# MEREL_WINDOWS_BITS=64 (the default) or 32 picks the server, and the clients and cscript of the
# same bitness; other environment: see windows_world.sh. Prints one line per case: "ok - ...",
# "not ok - ... (reason)" or "skip - ... (reason)"; exits 0 when nothing failed.
set -uo pipefail

. "$(dirname "$0")/windows_world.sh"
PDU_TEXT='Grüße €'

# Every program of the run has the server's bitness.
bin=$(build_of "$BITS")
wine=$(wine_of "$BITS")
server_exe=$bin/src/host/win32/MerelSMSManager.exe
client_exe=$bin/src/host/win32/windows_client/merel_com_client.exe
cli_exe=$bin/src/cli/merel-sms.exe
[ "$BITS" = 32 ] && need_32bit "the $BITS-bit server under Wine" "$0" "$@"
need_files "$server_exe" "$client_exe" "$cli_exe" "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" \
    "$WINE64" "$wine"

start_world
# The second modem, for the sends after the settings name another port.
PORT2=COM8
"$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" --link "$work/modem2" --json \
    --transcript "$work/transcript2.jsonl" --idle-exit 900 >"$work/modem-sim2.out" 2>&1 &
background+=($!)
wait_line "$work/modem-sim2.out" 10 'device: ' ||
    not_ok "second simulated modem" "modem-sim did not start: $(head -c 300 "$work/modem-sim2.out")"
timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$PORT2" /d "$work/modem2" /f \
    >/dev/null 2>&1
ln -sfn "$work/modem2" "$WINEPREFIX/dosdevices/${PORT2,,}"
srv=$work/server
mkdir -p "$srv"
cp "$server_exe" "$client_exe" "$cli_exe" "$here/windows_script_client.vbs" "$srv/"
win_srv="Z:${srv//\//\\}"

# Runs the C++ client (or cscript) in the server folder with its output in file $1. Output
# goes to a file, not a pipe: the processes that Wine starts on the way (the server among
# them) inherit the handle and would hold a pipe open until they end.
client() {
    local out=$1
    shift
    (cd "$srv" && timeout 180 "$wine" merel_com_client.exe "$@" >"$out" 2>&1)
}

# The time (ms since 1970) that the client printed with event $2 ("released 1700000000000").
time_of() { tr -d '\r' <"$1" | awk -v w="$2" '$1 == w { print $2; exit }'; }

# ---------------------------------------------------------------- resources
client "$work/resources.out" resources MerelSMSManager.exe
forward "$work/resources.out"

# ---------------------------------------------------------------- registration
# The Application log's event sources, and ours; registry views do not apply to them.
SOURCES='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
SOURCE_KEY="$SOURCES\MerelSMSManager"
# A 32-bit server's class is in the 32-bit view of the registry; its program identifiers, AppID
# and type library are shared by both views, and the interface checks name their view.
reg_query() {
    local view=()
    [ "$BITS" = 32 ] && [[ ${1^^} == 'HKCR\CLSID\'* ]] && view=(/reg:32)
    timeout 60 "$WINE64" reg query "$@" "${view[@]}"
}
reg_dump() { reg_query "$1" /s 2>/dev/null | tr -d '\r'; }
# A key that the registration must have written: read again when it comes back empty, as one
# reg query of a loaded machine now and then does; a key that is missing stays empty.
reg_dump_written() {
    local out try
    for try in 1 2 3; do
        out=$(reg_dump "$1")
        [ -n "$out" ] && break
        echo "# reg query $1 came back empty (try $try)" >&2
        sleep 1
    done
    printf '%s\n' "$out"
}
key_exists() { reg_query "$@" >/dev/null 2>&1; }

# value_of DUMP KEY NAME: the data of value NAME ("(Default)" for the default) of KEY.
value_of() {
    KEY="HKEY_CLASSES_ROOT\\$2" NAME=$3 awk '
        BEGIN { key = tolower(ENVIRON["KEY"]); prefix = "    " ENVIRON["NAME"] "    REG_SZ    " }
        /^HKEY_/ { inside = (tolower($0) == key); next }
        inside && index($0, prefix) == 1 { print substr($0, length(prefix) + 1); found = 1; exit }
        END { exit !found }' <<<"$1"
}
has_key() { grep -qixF "HKEY_CLASSES_ROOT\\$2" <<<"$1"; }

# expect_value DUMP KEY NAME DATA
expect_value() {
    local got
    got=$(value_of "$1" "$2" "$3")
    check "registered: $2 $3 = $4" "found '$got'" [ "$got" = "$4" ]
}

(cd "$srv" && timeout 120 "$wine" MerelSMSManager.exe /regserver >/dev/null 2>&1)
rc=$?
check "/regserver (lower case, slash) exits 0" "exit $rc" [ "$rc" -eq 0 ]

app=$(reg_dump_written "HKCR\\AppID\\$APPID")
app_exe=$(reg_dump_written 'HKCR\AppID\MerelSMSManager.EXE')
progid1=$(reg_dump_written 'HKCR\MerelSMSManager.SMSMgr.1')
progid=$(reg_dump_written 'HKCR\MerelSMSManager.SMSMgr')
class=$(reg_dump_written "HKCR\\CLSID\\$CLSID")
typelib=$(reg_dump_written "HKCR\\TypeLib\\$LIBID")
interface=$(reg_dump_written "HKCR\\Interface\\$IID")
interface2=$(reg_dump_written "HKCR\\Interface\\$IID2")

expect_value "$app" "AppID\\$APPID" "(Default)" "MerelSMSManager"
expect_value "$app_exe" 'AppID\MerelSMSManager.EXE' AppID "$APPID"
expect_value "$progid1" 'MerelSMSManager.SMSMgr.1' "(Default)" "SMSMgr Class"
expect_value "$progid1" 'MerelSMSManager.SMSMgr.1\CLSID' "(Default)" "$CLSID"
expect_value "$progid" 'MerelSMSManager.SMSMgr' "(Default)" "SMSMgr Class"
expect_value "$progid" 'MerelSMSManager.SMSMgr\CLSID' "(Default)" "$CLSID"
expect_value "$progid" 'MerelSMSManager.SMSMgr\CurVer' "(Default)" "MerelSMSManager.SMSMgr.1"
expect_value "$class" "CLSID\\$CLSID" "(Default)" "SMSMgr Class"
expect_value "$class" "CLSID\\$CLSID" AppID "$APPID"
expect_value "$class" "CLSID\\$CLSID\\ProgID" "(Default)" "MerelSMSManager.SMSMgr.1"
expect_value "$class" "CLSID\\$CLSID\\VersionIndependentProgID" "(Default)" \
    "MerelSMSManager.SMSMgr"
expect_value "$class" "CLSID\\$CLSID\\LocalServer32" "(Default)" "$win_srv\\MerelSMSManager.exe"
expect_value "$class" "CLSID\\$CLSID\\TypeLib" "(Default)" "$LIBID"
check "registered: CLSID\\$CLSID\\Programmable (empty key)" "missing" \
    has_key "$class" "CLSID\\$CLSID\\Programmable"
check "registered: no threading model" "found one" \
    bash -c '! grep -qi ThreadingModel <<<"$1"' _ "$class"
expect_value "$typelib" "TypeLib\\$LIBID\\1.0" "(Default)" "MerelSMSManager 1.0 Type Library"
# Both interfaces go through the type-library marshaler, ISMSMgr2 for the early-bound clients
# of the new methods.
expect_value "$interface" "Interface\\$IID\\ProxyStubClsid32" "(Default)" \
    "{00020424-0000-0000-C000-000000000046}"
expect_value "$interface2" "Interface\\$IID2" "(Default)" "ISMSMgr2"
expect_value "$interface2" "Interface\\$IID2\\ProxyStubClsid32" "(Default)" \
    "{00020424-0000-0000-C000-000000000046}"
expect_value "$interface2" "Interface\\$IID2\\TypeLib" "(Default)" "$LIBID"
# The event source, whose messages Event Viewer finds in the server.
has_line() { grep -qxF "$2" <<<"$1"; }
event_source=$(reg_dump "$SOURCE_KEY")
check "registered: the event source MerelSMSManager has the server as its message file" \
    "found: $event_source" has_line "$event_source" \
    "    EventMessageFile    REG_SZ    $win_srv\\MerelSMSManager.exe"
check "registered: the event source takes error, warning and information events" \
    "found: $event_source" has_line "$event_source" "    TypesSupported    REG_DWORD    0x7"
# Clients of either bitness find the library under their own platform and the interface in
# their own registry view, whichever server is registered.
for locale in 0 409; do
    for platform in win32 win64; do
        check "registered: TypeLib\\$LIBID\\1.0\\$locale\\$platform" "missing" \
            has_key "$typelib" "TypeLib\\$LIBID\\1.0\\$locale\\$platform"
    done
done
for view in 32 64; do
    for iid in "$IID" "$IID2"; do
        check "registered: Interface\\$iid in the $view-bit registry view" "missing" \
            key_exists "HKCR\\Interface\\$iid\\ProxyStubClsid32" /reg:$view
    done
done

(cd "$srv" && timeout 120 "$wine" MerelSMSManager.exe -UnregServer >/dev/null 2>&1)
rc=$?
check "-UnregServer exits 0" "exit $rc" [ "$rc" -eq 0 ]
left=""
for key in "AppID\\$APPID" 'AppID\MerelSMSManager.EXE' 'MerelSMSManager.SMSMgr.1' \
    'MerelSMSManager.SMSMgr' "CLSID\\$CLSID" "TypeLib\\$LIBID" "Interface\\$IID" \
    "Interface\\$IID2"; do
    key_exists "HKCR\\$key" && left+="$key "
done
for view in 32 64; do
    for iid in "$IID" "$IID2"; do
        key_exists "HKCR\\Interface\\$iid" /reg:$view && left+="Interface\\$iid (/reg:$view) "
    done
done
key_exists "$SOURCE_KEY" && left+="the event source "
check "unregistration removes every entry" "left: $left" [ -z "$left" ]
check "unregistration keeps the AppID and CLSID parents" "a parent is gone" \
    bash -c "timeout 60 '$WINE64' reg query 'HKCR\\AppID' >/dev/null 2>&1 &&
             timeout 60 '$WINE64' reg query 'HKCR\\CLSID' >/dev/null 2>&1 &&
             timeout 60 '$WINE64' reg query '$SOURCES' >/dev/null 2>&1"

(cd "$srv" && timeout 120 "$wine" MerelSMSManager.exe -RegServer >/dev/null 2>&1)
rc=$?
if [ "$rc" -ne 0 ]; then
    not_ok "registration for the client tests" "exit $rc"
    exit 1
fi

# ---------------------------------------------------------------- started by hand, no client
# Starts the server with the arguments given, as $started, and waits until it has registered
# its class object: that makes Wine load its proxy library actxprxy.dll. A client that came
# before that would start a second server.
start_by_hand() {
    (cd "$srv" && exec "$wine" "$win_srv\\MerelSMSManager.exe" "$@" >/dev/null 2>&1) &
    started=$!
    background+=($started)
    local deadline=$(($(now_ms) + 30000))
    until grep -qi actxprxy "/proc/$started/maps" 2>/dev/null || [ "$(now_ms)" -ge "$deadline" ]
    do
        sleep 0.1
    done
}

# A server that no client ever reaches ends like one whose last client left: the idle time
# after its class object was registered, then the pause.
start_by_hand
lonely=$started
registered=$(now_ms)
if ended=$(wait_gone "$lonely" 20); then
    delay=$((ended - registered))
    check "a server started by hand that no client reaches ends after the idle time (${delay} ms)" \
        "after ${delay} ms" [ "$delay" -ge 5000 -a "$delay" -le 8000 ]
else
    not_ok "a server started by hand that no client reaches ends after the idle time" \
        "still running after 20 s"
fi
wait_no_server 20 || not_ok "started by hand: end" "a server is still running"

# ---------------------------------------------------------------- a server started by hand
# Started with an unrelated switch it runs; a client then gets its object (status 0,0,0,0
# proves the object is new), and it ends 5 to 8 seconds after that client let go.
start_by_hand /Automation
manual=$started
sleep 1
check "a command line with an unrelated switch runs the server" "it ended" alive "$manual"

first=$(next_command)
client "$work/early.out" early "$PORT"
forward "$work/early.out"
transcript_check "$first" "early transcript" esc text-cpp pdu-cpp esc
released=$(time_of "$work/early.out" released)
if ended=$(wait_gone "$manual" 20) && [ -n "$released" ]; then
    delay=$((ended - released))
    check "the server started by hand served the client and ends 5-8 s after it released (${delay} ms)" \
        "after ${delay} ms" \
        [ "$delay" -ge 5000 -a "$delay" -le 8000 ]
else
    not_ok "the server started by hand served the client and ends 5-8 s after it released" \
        "still running after 20 s"
fi

# ---------------------------------------------------------------- late binding
wait_no_server 20 || not_ok "late: start" "a server is still running"
client "$work/late.out" late
forward "$work/late.out"

# ---------------------------------------------------------------- VBScript under cscript
wait_no_server 20 || not_ok "vbscript: start" "a server is still running"
# The script's first Init meets no settings file and reads the server's text about it.
rm -f "$srv/SMSMgr.ini"
first=$(next_command)
(cd "$srv" && timeout 180 "$wine" "$(cscript_of "$BITS")" //nologo windows_script_client.vbs "$PORT" \
    "$PDU_TEXT" "$win_srv" "$PORT2" "١٢٣" >"$work/vbscript.out" 2>&1)
forward "$work/vbscript.out"
last=$(last_line "$work/vbscript.out")
check "vbscript: the script ran to its end" "last line: $last" [ "$last" = "DONE fails=0" ]
# Nothing of the refused numbers, and nothing after the move, reaches the first modem.
transcript_check "$first" "vbscript transcript" esc esc text-vbs pdu-vbs
/usr/bin/python3 "$here/windows_transcript_check.py" "$work/transcript2.jsonl" 1 \
    "vbscript transcript of $PORT2" esc text-vbs-second || failures=$((failures + 1))

# ---------------------------------------------------------------- two clients, one object
wait_no_server 20 || not_ok "sharing: start" "a server is still running"
client "$work/holder.out" hold 8 COM9 19200 &
holder=$!
background+=($holder)
if wait_line "$work/holder.out" 30 connected; then
    client "$work/reader.out" get
    settings=$(grep -o 'settings=[^\r]*' "$work/reader.out")
    check "two clients share one object: settings stored by one are read by the other" \
        "read $settings" [ "${settings%%|8|*}" = "settings=COM9|19200" ]
    # Wine may show a starting or ending helper process for a moment; a second server would
    # stay for the whole idle time, so only processes still alive a little later count.
    candidates=$(server_pids)
    described=$(for p in $candidates; do
        printf '%s: %s; ' "$p" "$(tr '\0' ' ' 2>/dev/null </proc/"$p"/cmdline)"
    done)
    sleep 0.5
    servers=$(for p in $candidates; do alive "$p" && echo "$p"; done)
    check "two clients are served by one server process" "$described" \
        [ "$(wc -w <<<"$servers")" -eq 1 ]
else
    not_ok "two clients share one object" "the first client did not connect"
fi
wait "$holder" 2>/dev/null

# ---------------------------------------------------------------- a client within the idle time
wait_no_server 20 || not_ok "keep-alive: start" "a server is still running"
client "$work/first.out" hold 1
released1=$(time_of "$work/first.out" released)
pid1=$(server_pids)
sleep 2
client "$work/second.out" hold 3 &
second=$!
background+=($second)
if wait_line "$work/second.out" 30 connected; then
    pid2=$(server_pids)
    connected2=$(time_of "$work/second.out" connected)
    check "a client connecting within the idle time finds the same server" \
        "servers '$pid1' then '$pid2', $((connected2 - released1)) ms after the first left" \
        [ -n "$pid1" -a "$pid1" = "$pid2" -a $((connected2 - released1)) -lt 5000 ]
else
    not_ok "a client connecting within the idle time finds the same server" "it did not connect"
fi
wait "$second" 2>/dev/null
released2=$(time_of "$work/second.out" released)
if [ -n "$pid1" ] && ended=$(wait_gone "$pid1" 20) && [ -n "$released2" ]; then
    delay=$((ended - released2))
    check "the server kept running and ends 5-8 s after the later client released (${delay} ms)" \
        "after ${delay} ms" [ "$delay" -ge 5000 -a "$delay" -le 8000 ]
else
    not_ok "the server ends 5-8 s after the later client released" "no server, or still running"
fi

# ---------------------------------------------------------------- the command-line client
# merel-sms.exe meets no settings file, then a port that is not there, and says what the server
# said about each; it stores the port, opens it and sends; a number the server refuses gives
# exit 65 with the server's words. Its messages are matched up to the server's advice to API
# callers, which merel-sms may replace with a hint of its own.
merel_sms() {
    local out=$1
    shift
    (cd "$srv" && timeout 180 "$wine" merel-sms.exe --timeout 60 "$@" >"$out" 2>&1)
}
# exited_saying RC WANTED-RC FILE MESSAGE: whether merel-sms exited WANTED-RC and printed
# "merel-sms: MESSAGE" as its first line, alone or followed by ": " and more.
exited_saying() {
    local line
    line=$(head -n 1 "$3" | tr -d '\r')
    [ "$1" -eq "$2" ] || return 1
    [ "$line" = "merel-sms: $4" ] || [ "${line#"merel-sms: $4: "}" != "$line" ]
}
wait_no_server 20 || not_ok "merel-sms: start" "a server is still running"
rm -f "$srv/SMSMgr.ini"
# A client that only holds the object starts the server for merel-sms, with Wine's event-log
# channel on: the server inherits it, and its ReportEventW calls show in the holder's output.
rm -f "$srv/release-log"
WINEDEBUG=-all,+eventlog,fixme+advapi client "$work/eventlog.out" hold-until 170 release-log &
log_holder=$!
background+=($log_holder)
wait_line "$work/eventlog.out" 60 connected ||
    not_ok "event log: a client starts the server" "it did not connect"
merel_sms "$work/cli-init.out" init
rc=$?
check "merel-sms: init without a settings file exits 73 with the server's message on it" \
    "exit $rc: $(head -c 300 "$work/cli-init.out")" \
    exited_saying "$rc" 73 "$work/cli-init.out" \
    "0x80070002: settings file $win_srv\\SMSMgr.ini not found"
merel_sms "$work/cli-missing-port.out" configure --port COM9
rc=$?
check "merel-sms: configure --port COM9 (not there) exits 74 naming the port" \
    "exit $rc: $(head -c 300 "$work/cli-missing-port.out")" \
    exited_saying "$rc" 74 "$work/cli-missing-port.out" \
    "0x80070002: cannot open port COM9: no such device"
merel_sms "$work/cli-configure.out" configure --port "$PORT" --mode text
rc=$?
check "merel-sms: configure --port $PORT stores and opens the port" \
    "exit $rc: $(head -c 300 "$work/cli-configure.out")" [ "$rc" -eq 0 ]
first=$(next_command)
merel_sms "$work/cli-send.out" send "+49 170 1234567" "Grüße"
rc=$?
check "merel-sms: send in text mode exits 0" "exit $rc: $(head -c 300 "$work/cli-send.out")" \
    [ "$rc" -eq 0 ]
transcript_check "$first" "merel-sms transcript" text-cli
merel_sms "$work/cli-refused.out" send --mode pdu "+999999999999999999999" "Hi"
rc=$?
check "merel-sms: a refused number exits 65 with the server's message" \
    "exit $rc: $(head -c 300 "$work/cli-refused.out")" \
    exited_saying "$rc" 65 "$work/cli-refused.out" \
    "0x80070057: number \"+999999999999999999999\" refused: it has more than 20 digits; in PDU \
mode a number holds digits, spaces, the separators - . ( ) and one leading +, with at most 20 digits"
[ "$(next_command)" -eq "$((first + 5))" ] ||
    not_ok "merel-sms: the refused send wrote nothing" "commands from $first to $(next_command)"
merel_sms "$work/cli-status.out" status
touch "$srv/release-log"
wait "$log_holder" 2>/dev/null
# One entry for each call that sends or changes something, none for the queries; numbers only
# masked, and never a message's text.
masked='\+49 \*\*\* \*\*\*\*567'
/usr/bin/python3 "$here/windows_event_log_check.py" "$work/eventlog.out" "event log" \
    source=MerelSMSManager none=GetSettings none=GetSMSManagerStatus \
    none=GetDetectedCOMPortsOnHost count=SetSettings:2 count=SendConfirmed:2 \
    "entry=err:Init: 0x80070002: settings file .*SMSMgr\.ini not found.*" \
    "entry=trace:SetSettings: succeeded, port COM9 \([0-9.]+ s\)" \
    "entry=err:TestPort: 0x80070002: cannot open port COM9: no such device.*" \
    "entry=trace:SetSettings: succeeded, port $PORT \([0-9.]+ s\)" \
    "entry=trace:Init: succeeded, port $PORT \([0-9.]+ s\)" \
    "entry=warn:SendConfirmed to $masked in text mode: sent, not confirmed by the modem \([0-9.]+ s\)" \
    "entry=err:SendConfirmed to \+99\*+999( in PDU mode)?: 0x80070057: number \"\+99\*+999\" refused: .*" \
    never=1234567 never=Grüße never=999999999999999999999 || failures=$((failures + 1))

# ---------------------------------------------------------------- a modem pulled out and put back
# A client holds the server, so that it keeps its port while the modem (a third one, COM6) goes
# away: modem-sim ends, which closes the pseudo terminal's other side, and a new one appears at
# the same link. A send to the modem that is gone fails (its Init finds the device gone, closes
# the port and finds nothing to open) and names the port; once the modem is back, merel-sms
# send's own Init opens it afresh, also when the modem was swapped with no call between.
PORT3=COM6
timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$PORT3" /d "$work/modem3" /f \
    >/dev/null 2>&1
ln -sfn "$work/modem3" "$WINEPREFIX/dosdevices/${PORT3,,}"
modem3=
plug_modem3() {
    "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" --link "$work/modem3" --json \
        --transcript "$work/transcript3-$1.jsonl" --idle-exit 900 >"$work/modem-sim3-$1.out" 2>&1 &
    modem3=$!
    background+=($modem3)
    wait_line "$work/modem-sim3-$1.out" 10 'device: ' ||
        not_ok "modem $1 on $PORT3" "modem-sim did not start: $(head -c 300 "$work/modem-sim3-$1.out")"
}
pull_modem3() {
    kill "$modem3" 2>/dev/null
    wait "$modem3" 2>/dev/null
}
# The texts of the messages that modem $1 received, one a line.
texts_of_modem3() {
    /usr/bin/python3 -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["type"] == "message": print(r["text"])' "$work/transcript3-$1.jsonl" 2>/dev/null
}
wait_no_server 20 || not_ok "pulled out: start" "a server is still running"
plug_modem3 first
rm -f "$srv/release-holder"
client "$work/hold-pulled.out" hold-until 170 release-holder &
holder=$!
background+=($holder)
if ! wait_line "$work/hold-pulled.out" 60 connected; then
    not_ok "pulled out: a client holds the server" "it did not connect"
fi
merel_sms "$work/pulled-configure.out" configure --port "$PORT3" --mode text
merel_sms "$work/pulled-before.out" send "+49 170 1234567" "before"
rc=$?
check "pulled out: a send to the modem on $PORT3 exits 0" \
    "exit $rc: $(head -c 300 "$work/pulled-before.out")" [ "$rc" -eq 0 ]
pull_modem3
merel_sms "$work/pulled-lost.out" send "+49 170 1234567" "lost"
rc=$?
check "pulled out: a send fails naming the port that is gone" \
    "exit $rc: $(head -c 300 "$work/pulled-lost.out")" \
    exited_saying "$rc" 74 "$work/pulled-lost.out" "0x80070002: cannot open port $PORT3: no such device"
merel_sms "$work/pulled-status.out" status
port_closed() { tr -d '\r' <"$1" | grep -qx "port open: no"; }
check "pulled out: the status shows the port closed" "$(tr -d '\r' <"$work/pulled-status.out")" \
    port_closed "$work/pulled-status.out"
plug_modem3 second
merel_sms "$work/pulled-back.out" send "+49 170 1234567" "back"
rc=$?
check "put back: the next merel-sms send opens the port afresh and sends" \
    "exit $rc: $(head -c 300 "$work/pulled-back.out")" [ "$rc" -eq 0 ]
pull_modem3
plug_modem3 third
merel_sms "$work/pulled-swapped.out" send "+49 170 1234567" "swapped"
rc=$?
check "swapped with no call between: the next merel-sms send sends" \
    "exit $rc: $(head -c 300 "$work/pulled-swapped.out")" [ "$rc" -eq 0 ]
got="$(texts_of_modem3 first)|$(texts_of_modem3 second)|$(texts_of_modem3 third)"
check "pulled out: each modem got what was sent while it was there, and nothing else" \
    "got $got" [ "$got" = "before|back|swapped" ]
pull_modem3
touch "$srv/release-holder"
wait "$holder" 2>/dev/null

# ---------------------------------------------------------------- the README's VBScript example
wait_no_server 20 || not_ok "vbscript example: start" "a server is still running"
cp "$MEREL_SOURCE/docs/examples/send.vbs" "$srv/"
first=$(next_command)
(cd "$srv" && timeout 180 "$wine" "$(cscript_of "$BITS")" //nologo send.vbs "$PORT" "+49 170 1234567" "Hi" \
    >"$work/example.out" 2>&1)
last=$(last_line "$work/example.out")
check "vbscript example: sends and reports the port configured" "last line: $last" \
    [ "$last" = "sent; port open: 1, configured: 1" ]
transcript_check "$first" "vbscript example transcript" esc pdu-example

exit $((failures > 0))
