#!/usr/bin/env bash
# The main job: sends SMS through the real server to a simulated modem, and shows what the
# modem received.
#   tools/demo.sh            the Linux D-Bus service, driven by merel-sms (default)
#   tools/demo.sh --windows  the Windows automation server under Wine
# The Linux demo installs only the packages it needs; the Windows one installs everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
    --windows) "$root/tools/setup.sh" && exec "$root/tools/demo-windows.sh" ;;
    "" | --linux) "$root/tools/setup.sh" --linux-demo && exec "$root/tools/demo-linux.sh" ;;
    *) echo "usage: $0 [--linux|--windows]" >&2; exit 64 ;;
esac
