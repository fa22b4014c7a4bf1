#!/usr/bin/env bash
# Whole-system test of the server's second interface, ISMSMgr2, under Wine, against simulated
# modems on pseudo terminals: one that answers as a real modem does (COM5), the silent one of
# every Windows test (COM7), one that refuses every SMS with +CMS ERROR: 330 (COM4) and one that
# refuses AT+CMGS with +CMS ERROR: 38 (COM3). A VBScript client calls SendConfirmed and
# CheckModem late bound; the C++ client calls them through ISMSMgr2's table of methods; then
# merel-sms.exe sends and checks where it has those commands. The simulators' transcripts show
# what reached each modem: every confirmed SMS and none given up, and nothing after a refused
# AT+CMGS. One Wine prefix of its own, removed at the end.
#
# MEREL_WINDOWS_BITS=64 (the default) or 32 picks the server and its clients; other environment:
# see windows_world.sh. Prints one line per case: "ok - ...", "not ok - ... (reason)" or
# "skip - ... (reason)"; exits 0 when nothing failed.
set -uo pipefail

. "$(dirname "$0")/windows_world.sh"

bin=$(build_of "$BITS")
wine=$(wine_of "$BITS")
server_exe=$bin/src/host/win32/MerelSMSManager.exe
client_exe=$bin/src/host/win32/windows_client/merel_com_client.exe
cli_exe=$bin/src/cli/merel-sms.exe
sim=$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim
[ "$BITS" = 32 ] && need_32bit "ISMSMgr2 of the $BITS-bit server under Wine" "$0" "$@"
need_files "$server_exe" "$client_exe" "$cli_exe" "$sim" "$WINE64" "$wine"

start_world

# plug PORT NAME OPTION...: a simulated modem with the options given, mapped as PORT, its
# transcript in $work/NAME.jsonl.
plug() {
    local port=$1 name=$2
    shift 2
    "$sim" --link "$work/$name" --json --transcript "$work/$name.jsonl" --idle-exit 900 "$@" \
        >"$work/$name.out" 2>&1 &
    background+=($!)
    wait_line "$work/$name.out" 10 'device: ' ||
        not_ok "modem $name on $port" "modem-sim did not start: $(head -c 300 "$work/$name.out")"
    timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$work/$name" /f \
        >/dev/null 2>&1
    ln -sfn "$work/$name" "$WINEPREFIX/dosdevices/${port,,}"
}
plug COM5 answering --answer ok --confirm-delay 2.5
plug COM4 refusing --answer ok --refuse 330
plug COM3 refusing-cmgs --answer ok --refuse-cmgs 38

srv=$work/server
mkdir -p "$srv"
cp "$server_exe" "$client_exe" "$cli_exe" "$here/windows_modem_answers.vbs" "$srv/"
if ! (cd "$srv" && timeout 120 "$wine" MerelSMSManager.exe /RegServer >"$work/regserver.out" 2>&1)
then
    not_ok "registration of the $BITS-bit server" "$(tail -n 1 "$work/regserver.out")"
    exit 1
fi

# What a transcript holds, as "kind:detail" lines: messages and cancelled ones with their text
# (PDU bodies decoded by the simulator), and commands with their text.
records() {
    /usr/bin/python3 -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["type"] == "message": print("message:" + (r.get("text") or ""))
    elif r["type"] == "cancelled": print("cancelled:" + bytes.fromhex(r.get("body_hex") or "").decode("latin-1"))
    elif r["type"] == "command": print("command:" + r["text"])' "$1" 2>/dev/null
}
messages() { records "$1" | sed -n 's/^message://p' | tr '\n' '|'; }

# ---------------------------------------------------------------- VBScript, late bound
(cd "$srv" && timeout 300 "$wine" "$(cscript_of "$BITS")" //nologo windows_modem_answers.vbs \
    COM5 "$PORT" COM4 COM3 >"$work/vbscript.out" 2>&1)
forward "$work/vbscript.out"
last=$(last_line "$work/vbscript.out")
check "vbscript: the script ran to its end" "last line: $last" [ "$last" = "DONE fails=0" ]
expected_messages="First|Second|"

# ---------------------------------------------------------------- C++, ISMSMgr2's table
# The client of the server's bitness and, where it is built and can run, the one of the other
# bitness, which the interface keys mirrored into its registry view serve. The answering modem
# has confirmed two SMS so far: the next one gets reference 2.
reference=2
other=$((96 - BITS))
client_bits=$BITS
if [ -x "$(build_of "$other")/src/host/win32/windows_client/merel_com_client.exe" ] &&
    { [ "$other" = 64 ] || [ -n "${MEREL_32BIT:-}" ]; }; then
    client_bits+=" $other"
else
    skip "ISMSMgr2: the $other-bit C++ client" "not built, or 32-bit programs not available"
fi
for b in $client_bits; do
    wait_no_server 20 || not_ok "ISMSMgr2: start" "a server of the previous client still runs"
    mkdir -p "$work/client$b"
    cp "$(build_of "$b")/src/host/win32/windows_client/merel_com_client.exe" "$work/client$b/"
    (cd "$work/client$b" && timeout 180 "$(wine_of "$b")" merel_com_client.exe confirmed COM5 \
        "$reference" >"$work/confirmed$b.out" 2>&1)
    forward "$work/confirmed$b.out" "$b-bit client"
    reference=$((reference + 1))
    expected_messages+="Early|"
done

# ---------------------------------------------------------------- merel-sms.exe
merel_sms() {
    local out=$1
    shift
    (cd "$srv" && timeout 180 "$wine" merel-sms.exe --timeout 120 "$@" >"$out" 2>&1)
}
if ! (cd "$srv" && timeout 60 "$wine" merel-sms.exe --help 2>&1) | grep -qw check; then
    skip "merel-sms.exe send and check through ISMSMgr2" "this merel-sms has no check command"
else
    wait_no_server 20 || not_ok "merel-sms: start" "a server of the C++ client still runs"
    merel_sms "$work/cli-configure.out" configure --port COM5 --mode text
    merel_sms "$work/cli-send.out" send "+49 170 1234567" "From merel-sms"
    rc=$?
    check "merel-sms: send to the answering modem exits 0 and names the modem's reference" \
        "exit $rc: $(head -c 300 "$work/cli-send.out")" \
        bash -c '[ "$1" -eq 0 ] && grep -q "reference $2\b" "$3"' _ "$rc" "$reference" \
        "$work/cli-send.out"
    expected_messages+="From merel-sms|"
    merel_sms "$work/cli-check.out" check
    rc=$?
    check "merel-sms: check on the answering modem exits 0: ready to send" \
        "exit $rc: $(head -c 300 "$work/cli-check.out")" \
        bash -c '[ "$1" -eq 0 ] && grep -q "ready to send" "$2"' _ "$rc" "$work/cli-check.out"
    merel_sms "$work/cli-configure2.out" configure --port COM4 --mode text
    merel_sms "$work/cli-refused.out" send "+49 170 1234567" "Refused again"
    rc=$?
    check "merel-sms: a refused SMS exits 75 with error 0x8004114A" \
        "exit $rc: $(head -c 300 "$work/cli-refused.out")" \
        bash -c '[ "$1" -eq 75 ] && head -n 1 "$2" | grep -q "0x8004114A"' _ "$rc" \
        "$work/cli-refused.out"
fi

# ---------------------------------------------------------------- what the modems received
got=$(messages "$work/answering.jsonl")
check "the answering modem received every confirmed SMS, in order" "got $got" \
    [ "$got" = "$expected_messages" ]
cancelled=$(records "$work/answering.jsonl" | grep -c '^cancelled:')
check "no SMS was given up: nothing was written before the modem's verdict" \
    "$cancelled cancelled" [ "$cancelled" -eq 0 ]
got=$(messages "$work/transcript.jsonl")
check "the silent modem received the unconfirmed SMS" "got $got" [ "$got" = "Unheard|" ]
# Each send's time on the modem's side, from its first command to AT$RESET: a second for each
# command before the message, then the confirmation 2.5 s after it (longer than the pause), so
# 5.5 s in text mode and 6.5 s in PDU mode. The sim stamps what it reads.
spans=$(python3 -c '
import json, sys
start = mode = None
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["type"] != "command" or r["text"] == "<ESC>": continue
    # A query of the modem check (a line end of CR alone) belongs to no send.
    if r["text"].endswith("<CR>") and not r["text"].endswith("<LF><CR>"):
        start = None
        continue
    if start is None: start = r["t_ms"]
    if r["text"].startswith("AT+CMGF="): mode = r["text"][8]
    if r["text"].startswith("AT$RESET"):
        print("text" if mode == "1" else "pdu", round((r["t_ms"] - start) / 1000, 2))
        start = None' "$work/answering.jsonl" 2>/dev/null)
check "every send to the answering modem took its floor and little more: $(echo $spans)" \
    "spans: $(echo $spans)" python3 -c '
import sys
pairs = sys.argv[1].split()
ok = pairs and all(0 <= float(s) - {"text": 5.5, "pdu": 6.5}[m] <= 0.3 for m, s in zip(pairs[::2], pairs[1::2]))
sys.exit(0 if ok else 1)' "$spans"
# The ESC that gives up the refused message may be there; a body may not.
written=$(records "$work/refusing-cmgs.jsonl" |
    grep -E '^message:|^cancelled:.|^command:.*(Never written|AT\$RESET)' | tr '\n' '|')
check "after a refused AT+CMGS neither the text nor AT\$RESET reached the modem" \
    "got $written" [ -z "$written" ]
check "the modem that refused AT+CMGS was asked for it" "no AT+CMGS" \
    bash -c 'grep -q "^command:AT+CMGS=" <<<"$1"' _ "$(records "$work/refusing-cmgs.jsonl")"

exit $((failures > 0))
