#!/usr/bin/env bash
# Whole-system test of the Windows packages under Wine, for one bitness: the MSI installs with
# msiexec /qn; the README's VBScript example (under cscript) and merel-sms.exe send through the
# installed server to a simulated modem on COM7, byte for byte; msiexec /x leaves no key of the
# product (the Event Log's source included) and no file. Then the zip of the same bitness goes into the same folder, its
# install.cmd runs /RegServer, and the keys it writes must equal the MSI's, one for one;
# uninstall.cmd removes them again. Last, the MSI with SERVICE=1 installs service mode and its
# uninstall removes it. The zip's contents are checked too. One Wine prefix of its
# own, removed at the end.
#
# Environment: MEREL_WINDOWS_BITS (64, the default, or 32), others: see windows_world.sh. The
# packages are (re)built with packaging/windows/build.sh. The 32-bit run needs 32-bit programs:
# it runs itself under tools/with-32bit.sh and is skipped when that cannot provide them. On the
# 64-bit prefix the 32-bit package's keys live in the 32-bit registry view.
# Prints "ok - ...", "not ok - ... (reason)" or "skip - ... (reason)" lines; exits 0 when
# nothing failed.
set -uo pipefail

. "$(dirname "$0")/windows_world.sh"
bits=$BITS
if [ "$bits" = 64 ]; then
    view=/reg:64 cscript=$(cscript_of 64) program_files='Program Files'
else
    view=/reg:32 cscript=$(cscript_of 32) program_files='Program Files (x86)'
    need_32bit "win32 packages under Wine" "$0" "$@"
fi
need_files "$MEREL_BUILD_LINUX/tools/modem-sim/modem-sim" "$WINE64"
started_ms=$(now_ms)
start_world

# ---------------------------------------------------------------- packages
# Built every time (seconds, once the preset is built), so that no older package is tested;
# build.sh names the files it wrote.
if ! MEREL_WINDOWS_PRESETS=win$bits "$MEREL_SOURCE/packaging/windows/build.sh" \
    >"$work/build.out" 2>&1; then
    not_ok "packages build" "$(tail -n 3 "$work/build.out")"
    exit 1
fi
msi=$(grep '\.msi$' "$work/build.out")
zip=$(grep '\.zip$' "$work/build.out")
name=$(basename "$msi" .msi)

# The zip holds one folder with the programs, the scripts, the README and the client examples.
expected="$name/
$name/MerelSMSManager.exe
$name/README.md
$name/examples/
$name/examples/send.ps1
$name/examples/send.vbs
$name/install.cmd
$name/merel-sms.exe
$name/uninstall.cmd"
listing=$(cd "$work" && cmake -E tar tf "$zip" 2>&1 | sort)
check "zip: holds the programs, install.cmd, uninstall.cmd, the README and the examples" \
    "holds: $(tr '\n' ' ' <<<"$listing")" [ "$listing" = "$expected" ]
# The zip is unpacked here for the zip route below too.
mkdir -p "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
check "zip: README.md is the project's README, with Windows line ends" \
    "differs from $MEREL_SOURCE/README.md" \
    cmp -s <(sed 's/$/\r/' "$MEREL_SOURCE/README.md") "$work/zip/$name/README.md"

install_dir="$WINEPREFIX/drive_c/$program_files/MerelSMSManager"
win_path() { echo "Z:${1//\//\\}"; }
reg_dump() { timeout 60 "$WINE64" reg query "$1" /s "$2" 2>/dev/null | tr -d '\r'; }
key_exists() { timeout 60 "$WINE64" reg query "$@" >/dev/null 2>&1; }

# Every key of the product. Wine's RegisterTypeLib records the paths it is given in their
# \\?\ form, and an installer's folder property ends with a backslash (HELPDIR); both are
# the same path for Windows, so the comparison reads them alike.
product_keys=("AppID\\$APPID" 'AppID\MerelSMSManager.EXE' 'MerelSMSManager.SMSMgr.1'
    'MerelSMSManager.SMSMgr' "CLSID\\$CLSID" "TypeLib\\$LIBID" "Interface\\$IID"
    "Interface\\$IID2")
# The event source, outside HKCR; the registry views share it.
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\MerelSMSManager'
product_dump() {
    echo "== event source"
    reg_dump "$event_source" "$view"
    local key view
    for key in "${product_keys[@]}"; do
        if [ "$bits" = 64 ]; then
            # Both views: the server mirrors the interface keys into the 32-bit one.
            for view in /reg:64 /reg:32; do
                echo "== $key $view"
                reg_dump "HKCR\\$key" "$view"
            done
        else
            # What 32-bit programs read. Wine files the keys that a 32-bit program writes and
            # those that an installer writes into the 32-bit view in different places, which
            # a 32-bit reader sees alike. The 64-bit view: see the skip below.
            echo "== $key"
            timeout 60 "$WINE64" 'C:\windows\syswow64\reg.exe' query "HKCR\\$key" /s 2>/dev/null |
                tr -d '\r'
        fi
    done | awk '
        /^HKEY_/ { helpdir = /\\HELPDIR$/ }
        { sub(/REG_SZ    \\\\\?\\/, "REG_SZ    ") }
        helpdir { sub(/\\$/, "") }
        { print }'
}
# The product keys that exist in either view, with $1 (the MSI's ProductCode) for its
# uninstall entry.
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# product_dump read until two readings agree: now and then one reg query of a loaded machine
# comes back empty, and the first reading after a registration is where it was seen.
settled_product_dump() {
    local previous current try
    previous=$(product_dump)
    for try in 1 2 3; do
        current=$(product_dump)
        [ "$current" = "$previous" ] && break
        echo "# two readings of the product's keys differed (try $try)" >&2
        previous=$current
    done
    printf '%s\n' "$current"
}
keys_left() {
    local key view left=""
    for view in /reg:64 /reg:32; do
        for key in "${product_keys[@]}"; do
            key_exists "HKCR\\$key" "$view" && left+="$key ($view) "
        done
        key_exists "$event_source" "$view" && left+="the event source ($view) "
        # Listed, not opened: Wine's reg opens no subkey of Uninstall in the 32-bit view.
        timeout 60 "$WINE64" reg query "$uninstall" "$view" 2>/dev/null | grep -qiF "\\$1" &&
            left+="Uninstall\\$1 ($view) "
    done
    echo "$left"
}

# ---------------------------------------------------------------- install
product_code=$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }')
timeout 300 "$WINE64" msiexec /i "$(win_path "$msi")" /qn >"$work/msiexec-i.out" 2>&1
rc=$?
check "msiexec /i $name.msi /qn exits 0" "exit $rc" [ "$rc" -eq 0 ]
missing=""
for f in MerelSMSManager.exe merel-sms.exe; do [ -f "$install_dir/$f" ] || missing+="$f "; done
check "installed into $program_files\\MerelSMSManager" "missing: $missing" [ -z "$missing" ]
msi_keys=$(settled_product_dump)
present=$(keys_left "$product_code")
check "the product has its uninstall entry" "no $product_code below Uninstall" \
    [ "${present/Uninstall/}" != "$present" ]
check "the class is registered in the $bits-bit registry view" "no LocalServer32 there" \
    key_exists "HKCR\\CLSID\\$CLSID\\LocalServer32" "$view"
message_file="EventMessageFile    REG_SZ    C:\\$program_files\\MerelSMSManager\\MerelSMSManager.exe"
check "the event source MerelSMSManager has the installed server as its message file" \
    "found: $(reg_dump "$event_source" "$view")" grep -qiF "$message_file" <<<"$msi_keys"

# ---------------------------------------------------------------- sends
# Output goes to files: Wine's helper processes (the server among them) inherit the handles.
first=$(next_command)
(cd "$work" && timeout 180 "$WINE64" "$cscript" //nologo \
    "$(win_path "$MEREL_SOURCE/docs/examples/send.vbs")" "$PORT" "+49 170 1234567" "Hi" \
    >"$work/vbs.out" 2>&1)
last=$(last_line "$work/vbs.out")
check "VBScript example ($bits-bit cscript) sends through the installed server" \
    "last line: $last" [ "$last" = "sent; port open: 1, configured: 1" ]
transcript_check "$first" "VBScript transcript" esc pdu-example

cli() { (cd "$install_dir" && timeout 180 "$WINE64" merel-sms.exe --timeout 60 "$@"); }
cli configure --port "$PORT" --mode text >"$work/cli-configure.out" 2>&1
rc=$?
check "merel-sms.exe configure --port $PORT exits 0" \
    "exit $rc: $(head -c 300 "$work/cli-configure.out")" [ "$rc" -eq 0 ]
first=$(next_command)
cli send "+49 170 1234567" "Grüße" >"$work/cli-send.out" 2>&1
rc=$?
check "merel-sms.exe send exits 0" "exit $rc: $(head -c 300 "$work/cli-send.out")" [ "$rc" -eq 0 ]
transcript_check "$first" "merel-sms transcript" text-cli

# The server ends a few seconds after its last client; uninstalling must not race it.
timeout 60 "$WINESERVER" -w

# ---------------------------------------------------------------- uninstall
timeout 300 "$WINE64" msiexec /x "$(win_path "$msi")" /qn >"$work/msiexec-x.out" 2>&1
rc=$?
check "msiexec /x $name.msi /qn exits 0" "exit $rc" [ "$rc" -eq 0 ]
left=$(keys_left "$product_code")
check "uninstalling leaves no registry key of the product" "left: $left" [ -z "$left" ]
left=$(find "$install_dir" 2>/dev/null)
check "uninstalling leaves no file (SMSMgr.ini included) and no folder" \
    "left: $(tr '\n' ' ' <<<"$left")" [ -z "$left" ]

# ---------------------------------------------------------------- the zip route
# Unpacked into the same folder, install.cmd's /RegServer must write what the MSI wrote.
mkdir -p "$install_dir"
cp -r "$work/zip/$name/." "$install_dir/"
# Run from the folder: cmd /c cannot take a quoted path with parentheses, as in (x86).
(cd "$install_dir" && timeout 180 "$WINE64" cmd /c install.cmd) >"$work/install.out" 2>&1
rc=$?
said=$(tr -d '\r' <"$work/install.out" | head -n 1)
check "install.cmd exits 0 and says so" "exit $rc: $said" \
    [ "$rc" -eq 0 -a "${said#MerelSMSManager registered: }" != "$said" ]
regserver_keys=$(settled_product_dump)
if [ "$msi_keys" = "$regserver_keys" ] && grep -q LocalServer32 <<<"$msi_keys"; then
    ok "the MSI's registry entries equal what /RegServer writes"
else
    not_ok "the MSI's registry entries equal what /RegServer writes" \
        "$(diff <(echo "$msi_keys") <(echo "$regserver_keys") | grep '^[<>]' | head -n 12 |
            tr '\n' ' ')"
fi
(cd "$install_dir" && timeout 180 "$WINE64" cmd /c uninstall.cmd) >"$work/uninstall.out" 2>&1
rc=$?
said=$(tr -d '\r' <"$work/uninstall.out" | head -n 1)
left=$(keys_left none)
check "uninstall.cmd exits 0, says so and removes every key" "exit $rc: $said; left: $left" \
    [ "$rc" -eq 0 -a "${said#MerelSMSManager unregistered: }" != "$said" -a -z "$left" ]
# ---------------------------------------------------------------- service mode
# SERVICE=1 adds what /RegServer /Service adds: the service, run by the installed server with
# -Service, and the AppID's LocalService and permissions; uninstalling removes them with the
# rest. The service is not started here: windows_service.sh drives it.
services_key='HKLM\System\CurrentControlSet\Services\MerelSMSManager'
rm -rf "$install_dir"  # what the zip route left
timeout 300 "$WINE64" msiexec /i "$(win_path "$msi")" /qn SERVICE=1 >"$work/msiexec-is.out" 2>&1
rc=$?
check "msiexec /i $name.msi SERVICE=1 /qn exits 0" "exit $rc" [ "$rc" -eq 0 ]
image=$(reg_dump "$services_key" /reg:64 | awk '$1 == "ImagePath" { sub(/^ +[^ ]+ +[^ ]+ +/, ""); print }')
check "SERVICE=1 registers the service MerelSMSManager, running the installed server" \
    "ImagePath '$image'" \
    [ "$image" = "\"C:\\$program_files\\MerelSMSManager\\MerelSMSManager.exe\" -Service" ]
appid=$(reg_dump "HKCR\\AppID\\$APPID" "$view")
check "SERVICE=1 writes the AppID's LocalService and permissions" "$(tr '\n' ' ' <<<"$appid")" \
    bash -c 'grep -q "LocalService *REG_SZ *MerelSMSManager" <<<"$1" &&
             grep -q "LaunchPermission *REG_BINARY" <<<"$1" &&
             grep -q "AccessPermission *REG_BINARY" <<<"$1"' _ "$appid"
timeout 300 "$WINE64" msiexec /x "$(win_path "$msi")" /qn >"$work/msiexec-xs.out" 2>&1
rc=$?
check "msiexec /x of the service install exits 0" "exit $rc" [ "$rc" -eq 0 ]
left=$(keys_left "$product_code")
key_exists "$services_key" /reg:64 && left+="the service "
check "uninstalling the service install leaves no service and no key of the product" \
    "left: $left" [ -z "$left" ]
left=$(find "$install_dir" 2>/dev/null)
check "uninstalling the service install leaves no file" "left: $(tr '\n' ' ' <<<"$left")" \
    [ -z "$left" ]
skip "SERVICE=1 runs the registration as LocalSystem" \
    "Wine's msiexec runs deferred actions as the installing user"

if [ "$bits" = 32 ]; then
    skip "the win32 MSI mirrors the interface keys into the 64-bit view as /RegServer does" \
        "Windows Installer refuses 64-bit components in a 32-bit package; 64-bit early-bound \
clients need the win64 package"
fi

echo "# win$bits packages under Wine: $((($(now_ms) - started_ms) / 1000)) s"
exit $((failures > 0))
