#!/usr/bin/env bash
# Builds the Debian package merel-sms-manager_<version>_<arch>.deb into build/packages/ from the
# linux-release build (built here when needed), with CPack's DEB generator. No arguments; exits
# non-zero on failure. MEREL_JOBS sets the build's parallel jobs (default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
out=$root/build/packages
build=$root/build/linux-release
mkdir -p "$out"

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${MEREL_JOBS:-2}" >/dev/null
# Without scdoc the man pages would be missing from the package without a word.
for page in merel-sms.1.gz merel-sms-http.1.gz MerelSMSManager.8.gz; do
    [ -s "$build/docs/man/$page" ] || { echo "debian: man page $page not built (scdoc?)" >&2; exit 1; }
done

rm -f "$out"/merel-sms-manager_*.deb
(cd "$build" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$out" >/dev/null)
deb=$(ls "$out"/merel-sms-manager_*.deb)
echo "debian: $deb"
