#!/usr/bin/env bash
# Runs one Windows program that creates windows under Wine, on a virtual X display of its own and in the
# panel tests' own prefix (whose shell, and so whose tray, then belongs to that display).
# Usage: run_on_display.sh PROGRAM.exe [ARGS...]
set -uo pipefail
if [ -z "${KESTREL_ON_DISPLAY:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed"; exit 1; }
    export KESTREL_ON_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
export WINEPREFIX="${KESTREL_WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}-panel"
unset KESTREL_WINEPREFIX
. "$(dirname "$0")/../../scripts/wine-env"
timeout 30 wineserver -k </dev/null >/dev/null 2>&1
timeout 30 wineserver -w </dev/null >/dev/null 2>&1
timeout 240 wine "$@" </dev/null
status=$?
timeout 30 wineserver -k </dev/null >/dev/null 2>&1
exit $status
