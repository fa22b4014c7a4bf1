#!/usr/bin/env bash
# The main job: sends one SMS in text mode and one in PDU mode through the real server to a
# simulated modem, and shows what the modem received.
#   tools/demo.sh            the Linux D-Bus service (default)
#   tools/demo.sh --windows  the Windows automation server under Wine
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
case "${1:-}" in
    --windows) exec "$root/tools/demo-windows.sh" ;;
    ""|--linux) exec "$root/tools/demo-linux.sh" ;;
    *) echo "usage: $0 [--linux|--windows]" >&2; exit 2 ;;
esac
