#!/usr/bin/env bash
# The main job on Windows, under Wine: MerelSMSManager.exe, the automation server, is
# registered, and a VBScript client (as an Office macro or a script would be) sends one SMS in
# text mode and one in PDU mode to a simulated modem on COM7. The simulator then shows what it
# received, and the server is unregistered again.
#
# Everything happens in a temporary folder with a Wine prefix of its own; your ~/.wine stays
# untouched. Takes about a minute once built (the first Wine start is the slow part).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_linux=${MEREL_BUILD_LINUX:-$root/build/linux}
build_win64=${MEREL_BUILD_WIN64:-$root/build/win64}
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

# Colour only for a reader at a terminal, not in a log file or a pipe.
bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
say() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '    %s\n' "$*"; }

build() {
    local preset=$1 dir=$2
    shift 2
    { [ -f "$dir/CMakeCache.txt" ] || cmake --preset "$preset" -B "$dir"; } &&
        cmake --build "$dir" --target "$@"
}

say "Building MerelSMSManager.exe (preset win64) and modem-sim (preset linux)"
build_log=$(mktemp /tmp/merel-demo-build.XXXXXX)
if ! { build win64 "$build_win64" MerelSMSManager && build linux "$build_linux" modem-sim; } \
    >"$build_log" 2>&1; then
    tail -n 30 "$build_log"
    echo "demo: the build failed (whole log: $build_log)" >&2
    exit 1
fi
rm -f "$build_log"
modem_sim="$build_linux/tools/modem-sim/modem-sim"

work=$(mktemp -d /tmp/merel-demo-windows.XXXXXX)
sim_pid=""
cleanup() {
    WINEPREFIX="$work/prefix" timeout 20 "$WINESERVER" -k 2>/dev/null || true
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX="$work/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8

say "Preparing a Wine prefix ($WINEPREFIX)"
timeout 300 "$WINE64" wineboot -i >"$work/wineboot.log" 2>&1 || {
    tail -n 20 "$work/wineboot.log"
    echo "demo: wineboot failed" >&2
    exit 1
}
timeout 60 "$WINESERVER" -w
note "done; Windows sees the Linux file system as drive Z:"

say "Starting the simulated modem and mapping it as COM7"
"$modem_sim" --link "$work/modem" --transcript "$work/transcript.txt" --idle-exit 300 \
    >"$work/modem-sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^device: ' "$work/modem-sim.out" 2>/dev/null && break
    sleep 0.1
done
timeout 60 "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$work/modem" /f >/dev/null 2>&1
ln -sfn "$work/modem" "$WINEPREFIX/dosdevices/com7"
note "modem-sim $(head -n 1 "$work/modem-sim.out"), linked as $work/modem"
note "HKLM\\Software\\Wine\\Ports: COM7 = $work/modem"

# The server keeps SMSMgr.ini beside its executable, so it runs from a copy in $work.
server="$work/server"
mkdir -p "$server"
cp "$build_win64/src/host/win32/MerelSMSManager.exe" "$server/"
win_server="Z:${server//\//\\}"

say "Registering the server: MerelSMSManager.exe /RegServer"
(cd "$server" && timeout 120 "$WINE64" MerelSMSManager.exe /RegServer)
note "HKCR\\MerelSMSManager.SMSMgr now names the class; its LocalServer32 is"
timeout 60 "$WINE64" reg query 'HKCR\CLSID\{F5D6AC1D-63B5-4CB9-B4AE-1CFEF1B9947C}\LocalServer32' |
    tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *\(.*\)/      \1/p'
note "COM starts the server for the first client and ends it 5 seconds after the last one"

# The client: late bound, every argument a plain variable, as in an Office macro.
cat >"$server/demo.vbs" <<'EOF'
' MerelSMSManager from VBScript. Arguments: the port and the text of the PDU-mode message
' (it comes in on the command line as Wine's VBScript has no ChrW).
Option Explicit
Dim sms, port, pduText, ini, logOpen, portOpen, portInit
port = WScript.Arguments(0)
pduText = WScript.Arguments(1)

Sub Show(what)
    If Err.Number = 0 Then
        WScript.Echo "    " & what & ": S_OK"
    Else
        WScript.Echo "    " & what & ": error " & Hex(Err.Number) & " " & Err.Description
    End If
    Err.Clear
End Sub

Sub ShowStatus()
    sms.GetSMSManagerStatus ini, logOpen, portOpen, portInit
    WScript.Echo "    GetSMSManagerStatus: settings file read " & ini & ", log file open " & _
        logOpen & ", port open " & portOpen & ", port configured " & portInit
End Sub

Set sms = CreateObject("MerelSMSManager.SMSMgr")
WScript.Echo "    CreateObject(""MerelSMSManager.SMSMgr""): connected"
ShowStatus

On Error Resume Next
sms.Init
Show "Init (first run: no SMSMgr.ini yet, but it learns where the file belongs)"
sms.SetSettings port, 115200, 8, 0, 0, 1, 0, 0
Show "SetSettings " & port & ", 115200 baud, 8N1, hardware handshake, character set 0 (text mode)"
sms.Init
Show "Init (reads SMSMgr.ini, opens and configures " & port & ")"
ShowStatus

sms.SendMessage "+49 170 1234567", "Hello from MerelSMSManager"
Show "SendMessage in text mode (five AT commands, one second apart)"

sms.SetSettings port, 115200, 8, 0, 0, 1, 0, 1
Show "SetSettings character set 1 (PDU mode, UCS2 text)"
sms.SendMessage "+49 170 1234567", pduText
Show "SendMessage in PDU mode (six AT commands, one second apart)"
On Error GoTo 0
ShowStatus

Set sms = Nothing
EOF

say "Running the VBScript client: cscript demo.vbs COM7 \"Grüße aus Wine €\""
(cd "$server" && timeout 180 "$WINE64" cscript //nologo demo.vbs COM7 "Grüße aus Wine €") |
    tr -d '\r'
note "SMSMgr.ini that SetSettings wrote beside the server:"
tr -d '\r' <"$server/SMSMgr.ini" | sed 's/^/      /'

say "What the modem received (modem-sim transcript)"
# The transcript is complete once the last AT\$RESET is in; the sends are done by now.
for _ in $(seq 50); do
    [ "$(grep -c 'AT\$RESET' "$work/transcript.txt" 2>/dev/null)" -ge 2 ] && break
    sleep 0.1
done
sed 's/^/    /' "$work/transcript.txt"

say "Unregistering the server: MerelSMSManager.exe -UnregServer"
# The server has ended by now or ends within seconds; unregistration does not need it gone.
(cd "$server" && timeout 120 "$WINE64" MerelSMSManager.exe -UnregServer)
if timeout 60 "$WINE64" reg query 'HKCR\MerelSMSManager.SMSMgr' >/dev/null 2>&1; then
    note "HKCR\\MerelSMSManager.SMSMgr is still there?"
else
    note "HKCR\\MerelSMSManager.SMSMgr and the class entries are gone"
fi

say "Done"
note "Server: $build_win64/src/host/win32/MerelSMSManager.exe"
note "Whole-system test of the server: tests/e2e/windows_server.sh"
