#!/usr/bin/env bash
# Whole-system test of clients of one bitness driving the server of the other under Wine: the
# C++ client early bound (ISMSMgr) and late bound (IDispatch), the VBScript client under the
# cscript of that bitness, and merel-sms.exe, against the server of MEREL_WINDOWS_BITS (64 by
# default), which alone is registered in the test's own 64-bit Wine prefix. The simulated modem,
# mapped as COM7, receives the sends; its transcript is checked byte for byte. windows_server.sh runs the
# clients of the server's own bitness; MEREL_WINDOWS_CLIENT_BITS="32 64" runs both here.
#
# Prints one line per case: "ok - ...", "not ok - ... (reason)" or "skip - ... (reason)";
# exits 0 when nothing failed. Other environment: see windows_world.sh.
set -uo pipefail

. "$(dirname "$0")/windows_world.sh"
PDU_TEXT='Grüße €'

server_exe=$(build_of "$BITS")/src/host/win32/MerelSMSManager.exe
client_bits=${MEREL_WINDOWS_CLIENT_BITS:-$((96 - BITS))}
need_32bit "clients of the $BITS-bit server" "$0" "$@"
for b in $client_bits; do
    need_files "$(build_of "$b")/src/host/win32/windows_client/merel_com_client.exe" \
        "$(build_of "$b")/src/cli/merel-sms.exe" "$(wine_of "$b")"
done
need_files "$server_exe" "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" "$WINE64"

start_world
srv=$work/server
mkdir -p "$srv"
cp "$server_exe" "$here/windows_script_client.vbs" "$srv/"
win_srv="Z:${srv//\//\\}"

if ! (cd "$srv" && timeout 120 "$(wine_of "$BITS")" MerelSMSManager.exe /RegServer \
    >"$work/regserver.out" 2>&1); then
    not_ok "registration of the $BITS-bit server" "$(tail -n 1 "$work/regserver.out")"
    exit 1
fi

# Each client meets a server that has just started, with no settings file beside it.
fresh_server() {
    wait_no_server 20 || not_ok "$1: start" "a server of the previous client still runs"
    rm -f "$srv/SMSMgr.ini"
}

for b in $client_bits; do
    pair="$b-bit client, $BITS-bit server"
    wine=$(wine_of "$b")
    mkdir -p "$work/client$b"
    cp "$(build_of "$b")/src/host/win32/windows_client/merel_com_client.exe" "$work/client$b/"
    # Output to files, not pipes: processes that Wine starts on the way (the server among them)
    # would hold a pipe open until they end.
    for mode in early late; do
        fresh_server "$pair: $mode"
        first=$(next_command)
        (cd "$work/client$b" && timeout 180 "$wine" merel_com_client.exe $mode "$PORT" \
            >"$work/$mode$b.out" 2>&1)
        forward "$work/$mode$b.out" "$pair"
        [ $mode = early ] && transcript_check "$first" "$pair: early transcript" esc text-cpp pdu-cpp esc
    done

    fresh_server "$pair: vbscript"
    first=$(next_command)
    (cd "$srv" && timeout 180 "$wine" "$(cscript_of "$b")" //nologo windows_script_client.vbs \
        "$PORT" "$PDU_TEXT" "$win_srv" >"$work/vbscript$b.out" 2>&1)
    forward "$work/vbscript$b.out" "$pair"
    last=$(last_line "$work/vbscript$b.out")
    check "$pair: vbscript: the script ran to its end" "last line: $last" [ "$last" = "DONE fails=0" ]
    transcript_check "$first" "$pair: vbscript transcript" esc esc text-vbs pdu-vbs

    # merel-sms.exe says what the server said: its first line is the server's message, up to
    # the advice to API callers that merel-sms may replace with a hint of its own.
    fresh_server "$pair: merel-sms"
    cp "$(build_of "$b")/src/cli/merel-sms.exe" "$work/client$b/"
    (cd "$work/client$b" && timeout 180 "$wine" merel-sms.exe --timeout 60 init \
        >"$work/cli$b.out" 2>&1)
    rc=$?
    line=$(head -n 1 "$work/cli$b.out" | tr -d '\r')
    said="merel-sms: 0x80070002: settings file $win_srv\\SMSMgr.ini not found"
    check "$pair: merel-sms: init without a settings file exits 73 with the server's message" \
        "exit $rc: $line" [ "$rc" -eq 73 -a \( "$line" = "$said" -o "${line#"$said: "}" != "$line" \) ]
done

exit $((failures > 0))
