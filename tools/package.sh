#!/usr/bin/env bash
# Builds every package into build/packages/: the release build of Linux, then each
# packaging/*/build.sh in name order (each builds what else it needs, writes into build/packages/
# and exits non-zero on failure). Exits non-zero when any of them failed; the others still run.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build/packages

if ! { cmake --preset linux-release >/dev/null &&
    cmake --build --preset linux-release -j "${MEREL_JOBS:-2}" >/dev/null; }; then
    echo "package: the linux-release build failed" >&2
    exit 1
fi

failed=0
for script in packaging/*/build.sh; do
    [ -x "$script" ] || continue
    echo "package: $script"
    if ! "$script"; then
        echo "package: $script failed" >&2
        failed=1
    fi
done
ls -l build/packages
exit "$failed"
