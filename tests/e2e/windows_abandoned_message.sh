#!/usr/bin/env bash
# A message left open on the modem after AT+CMGS, on the Windows server under Wine: the modem
# stops reading (modem-sim is stopped and the line filled, so the kernel takes no more) in the
# pause after AT+CMGS, so the body's write and the ESC after it run out of time. Once the modem
# reads again, the next client's send must cancel that message first and go to its own number;
# nothing of it may become the first client's message.
#
# Environment: MEREL_SOURCE, MEREL_BUILD_LINUX (modem-sim), MEREL_BUILD_WIN64 / MEREL_BUILD_WIN32,
# MEREL_WINDOWS_BITS (64 or 32). Prints ok / not ok / skip lines; exits 1 when a case failed.
set -uo pipefail

. "$(dirname "$0")/windows_world.sh"

bin=$(build_of "$BITS")
wine=$(wine_of "$BITS")
server_exe=$bin/src/host/win32/MerelSMSManager.exe
[ "$BITS" = 32 ] && need_32bit "the $BITS-bit server under Wine" "$0" "$@"
need_files "$server_exe" "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" "$WINE64" "$wine"

start_world
sim=${background[0]}
device=$(sed -n 's/^device: //p' "$work/modem-sim.out")
srv=$work/server
mkdir -p "$srv"
cp "$server_exe" "$MEREL_SOURCE/docs/examples/send.vbs" "$srv/"
(cd "$srv" && timeout 120 "$wine" MerelSMSManager.exe -RegServer >/dev/null 2>&1) ||
    { not_ok "registration" "MerelSMSManager.exe -RegServer failed"; exit 1; }

# send.vbs stores the port in PDU mode, opens it with Init and sends; its last line says how.
send() { # send OUT NUMBER TEXT
    (cd "$srv" && timeout 180 "$wine" "$(cscript_of "$BITS")" //nologo send.vbs "$PORT" "$2" \
        "$3" >"$1" 2>&1)
}

# Writes into the terminal side until the kernel takes no more, as a modem that never reads
# lets the line fill: down to single bytes, and again while the kernel still makes room.
fill() {
    /usr/bin/python3 - "$device" <<'PY'
import os, select, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
while True:
    for chunk in (4096, 1):
        try:
            while True:
                os.write(fd, b"f" * chunk)
        except BlockingIOError:
            pass
    if not select.select([], [fd], [], 0.05)[1]:
        break
os.close(fd)
PY
}

# The records of modem-sim from command index $1 on: "cancelled MODE NUMBER" and
# "message MODE NUMBER TEXT" lines, in order.
messages_from() {
    /usr/bin/python3 - "$work/transcript.jsonl" "$1" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r["type"] in ("message", "cancelled") and r["command"] >= int(sys.argv[2]):
        print(r["type"], r["mode"], r["number"], r.get("text") or "")
PY
}

first=$(next_command)  # no AT+CMGS before it
send "$work/first.out" "+49 170 1111111" "Meeting at noon" &
sender=$!
background+=($sender)
# The modem stops reading in the second after AT+CMGS, before the body.
deadline=$(($(now_ms) + 120000))
until grep -q '"text":"AT+CMGS=' "$work/transcript.jsonl" 2>/dev/null; do
    [ "$(now_ms)" -ge "$deadline" ] && break
    sleep 0.02
done
kill -STOP "$sim"
fill
wait "$sender"
last=$(tr -d '\r' <"$work/first.out" | tail -n 1)
# The kernel may make room for the one byte of the ESC by then, or not: the message is then
# cancelled at once, or the cancel is owed to the next send.
owed=0
[[ $last == *"the message could not be cancelled"* ]] && owed=1
check "never-read line: the first send fails with 0x8007001D after AT+CMGS and says what became of its message" \
    "last line: $last" \
    bash -c '[[ $1 == "send failed: 0x8007001D: "*"; the message "*"cancelled"* ]]' _ "$last"

kill -CONT "$sim"
sleep 1
second=$(next_command)
send "$work/second.out" "+49 170 2222222" "PIN for two: 4711"
last=$(tr -d '\r' <"$work/second.out" | tail -n 1)
check "the modem reading again, the second send succeeds" "last line: $last" \
    [ "$last" = "sent; port open: 1, configured: 1" ]
wire=$(/usr/bin/python3 - "$work/transcript.jsonl" "$second" <<'PY'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
print(" ".join(r["text"] for r in records
               if r["type"] == "command" and r["index"] >= int(sys.argv[2])))
PY
)
if [ "$owed" = 1 ]; then
    check "the second send cancels the open message before anything of its own" \
        "the modem got: $wire" [ "${wire%% *}" = "<ESC>" ]
else
    skip "the second send cancels the open message before anything of its own" \
        "the line took the first send's ESC at once"
fi
# modem-sim may still be reading what the line held.
deadline=$(($(now_ms) + 10000))
until got=$(messages_from "$first") && [ "$(grep -c '^message' <<<"$got")" -ge 1 ]; do
    [ "$(now_ms)" -ge "$deadline" ] && break
    sleep 0.2
done
want="cancelled pdu None 
message pdu +491702222222 PIN for two: 4711"
check "the modem sends the second client's text to its own number, and nothing to the first" \
    "the modem read: ${got//$'\n'/ | }" [ "$got" = "$want" ]

exit $((failures > 0))
