#!/usr/bin/env bash
# Builds the Windows packages into build/packages/: for each bitness (win64, win32) an MSI made
# with wixl (Debian: wixl, from msitools) and a zip for installing by hand (with the README). Builds the win64
# and win32 presets first where needed (only the two programs). No arguments; exits non-zero
# on failure.
#
#   MerelSMSManager-VERSION-win64.msi   MerelSMSManager-VERSION-win64.zip
#   MerelSMSManager-VERSION-win32.msi   MerelSMSManager-VERSION-win32.zip
#
# MEREL_WINDOWS_PRESETS="win64" limits the run to the presets named.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build/packages
presets=${MEREL_WINDOWS_PRESETS:-win64 win32}

fail() {
    echo "packaging/windows/build.sh: $*" >&2
    exit 1
}
command -v wixl >/dev/null || fail "wixl not found: apt-get install wixl (tools/setup.sh)"

# The README's PowerShell example, which exists only there.
powershell_example() {
    awk '/^### PowerShell/ { section = 1 }
         section && /^```powershell/ { inside = 1; next }
         inside && /^```/ { exit }
         inside { print }' "$root/README.md"
}

crlf() { sed 's/\r*$/\r/'; }

mkdir -p "$out"
for preset in $presets; do
    bits=${preset#win}
    build=$root/build/$preset
    if [ ! -f "$build/build.ninja" ]; then
        cmake --preset "$preset" >/dev/null || fail "configuring $preset failed"
    fi
    cmake --build --preset "$preset" -j2 --target MerelSMSManager merel-sms >/dev/null ||
        fail "building $preset failed (cmake --build --preset $preset)"
    # The version that this build was configured with (project() in CMakeLists.txt), so
    # that the file names and the MSI match the programs inside.
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
    [ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

    name=MerelSMSManager-$version-$preset
    stage=$build/package
    rm -rf "$stage"
    mkdir -p "$stage/msi" "$stage/$name/examples"
    cp "$build/src/host/win32/MerelSMSManager.exe" "$build/src/cli/merel-sms.exe" "$stage/msi/"

    # The MSI: the server's registry entries come from its own registration sources.
    python3 "$here/registry_wxs.py" "$root" "$stage/msi"
    arch=$([ "$bits" = 64 ] && echo x64 || echo x86)
    (cd "$stage" && wixl -a "$arch" -D Bits="$bits" -D Version="$version" -D BinDir=msi \
        -I msi -o "$out/$name.msi" "$here/MerelSMSManager.wxs") ||
        fail "wixl failed for $preset"
    msibuild "$out/$name.msi" -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`,
        \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('RemoveSettings', 'Server',
        'SMSMgr.ini', 'INSTALLDIR', 2)" || fail "adding SMSMgr.ini to the removed files failed"

    # The zip: the programs, the scripts that register the server, the README, the client
    # examples.
    cp "$stage/msi/MerelSMSManager.exe" "$stage/msi/merel-sms.exe" "$stage/$name/"
    # Windows line ends: batch files need them, and Notepad shows the README and the examples
    # right.
    for script in install.cmd uninstall.cmd; do
        crlf <"$here/$script" >"$stage/$name/$script"
    done
    crlf <"$root/README.md" >"$stage/$name/README.md"
    crlf <"$root/docs/examples/send.vbs" >"$stage/$name/examples/send.vbs"
    powershell_example | crlf >"$stage/$name/examples/send.ps1"
    [ -n "$(tr -d '\r\n' <"$stage/$name/examples/send.ps1")" ] ||
        fail "no PowerShell example in README.md"
    rm -f "$out/$name.zip"
    (cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip "$name") ||
        fail "zip failed for $preset"
    echo "$out/$name.msi"
    echo "$out/$name.zip"
done
