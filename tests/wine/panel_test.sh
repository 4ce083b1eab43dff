#!/usr/bin/env bash
# The control panel, Kestrel.exe, under Wine on a virtual X display, against the real KestrelService.exe:
#  - it starts hidden, with its icon in the tray;
#  - the tray's menu command "Kestrel" shows the dialog; the caption's close hides it; a double-click on the
#    tray icon shows it again;
#  - both drive lists fill from the service's replies, a watched drive's statistics arrive, and the Watch
#    button moves a drive over (the service confirms it on a rescan);
#  - screenshots are written to ARTIFACTS/: the tray at the start and once connected (the icon must have
#    changed), the whole screen and the dialog cut out of it;
#  - a second panel shows "You cannot run multiple versions of Kestrel" and exits 0, the first keeps running;
#  - setting the event "Tarnwell" ends the first panel (exit 0) and takes its icon out of the tray;
#  - the per-user key exists; an embedded start shows no window and no icon and also ends on "Tarnwell".
# Usage: panel_test.sh Kestrel.exe panel_probe.exe KestrelService.exe ARTIFACTS_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# Everything runs on a display of its own; the script starts itself again under xvfb-run.
if [ -z "${KESTREL_PANEL_TEST_DISPLAY:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "FAIL: xvfb-run is not installed"; exit 1; }
    export KESTREL_PANEL_TEST_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

panel=$1
probe_exe=$2
service_exe=$3
artifacts=$4
mkdir -p "$artifacts"

# A prefix of this test's own, so that its shell and tray belong to this display.
export WINEPREFIX="${KESTREL_WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}-panel"
unset KESTREL_WINEPREFIX
. "$here/../../scripts/wine-env"
timeout 30 wineserver -k </dev/null >/dev/null 2>&1  # a server (and shell) of an earlier display
timeout 30 wineserver -w </dev/null >/dev/null 2>&1
setsid wineserver -p 60 </dev/null >/dev/null 2>&1 || true

work=$(mktemp -d)
first=""
failures=0
run() { timeout 60 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
probe() { timeout 90 wine "$probe_exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
service=Kestrel_Defragmentation
params="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters"
cleanup() {
    [ -n "$first" ] && kill "$first" 2>/dev/null
    run net stop "$service" >/dev/null
    run "$service_exe" -u >/dev/null
    timeout 30 wineserver -k </dev/null >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# Windows draws the dialog's frame and caption itself: there is no window manager on this display.
run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
run reg delete 'HKCU\Software\Quorvane' /f >/dev/null

# Drive D is a small folder of this test. The service watches D and leaves C and Z available.
mkdir -p "$work/d"
echo data >"$work/d/file.txt"
rm -f "$WINEPREFIX/dosdevices/d:"
ln -s "$work/d" "$WINEPREFIX/dosdevices/d:"
# A service left installed by an earlier run starts with the prefix (it is an automatic one): stop it and
# install afresh, so that it reads the drive choice below when it starts.
run net stop "$service" >/dev/null
run "$service_exe" -u >/dev/null
run "$service_exe" -i >/dev/null
run reg add "$params\\WatchingDrives" /v 3 /t REG_DWORD /d 0 /f >/dev/null
run reg add "$params\\WatchingDrives" /v 4 /t REG_DWORD /d 1 /f >/dev/null
run reg add "$params\\WatchingDrives" /v 26 /t REG_DWORD /d 0 /f >/dev/null
out=$(run net start "$service")
check "the service started ($out)" grep -q "started successfully" <<<"$out"

# 1. Hidden start with the tray icon.
timeout 200 wine "$panel" </dev/null >"$work/first.out" 2>&1 &
first=$!
out=$(probe find 20)
check "the dialog exists and is hidden ($out)" test "$out" = "visible 0"
out=$(probe tray-shown 10)
check "the icon is in the tray ($out)" test "$out" = "tray shown"
import -window root "$artifacts/kestrel-tray.png"
# The tray window's row of icons (below its caption) on the screen, to compare its icon later.
read -r _ _ _ _ _ _ _ tl _ tr tb < <(probe tray-info)
tray_area="$((tr - tl))x20+${tl}+$((tb - 22))"

# 2. The tray's "Kestrel" command shows the dialog; close hides it; a double-click on the icon shows it.
out=$(probe command 32774 10)
check "the tray command shows the dialog ($out)" test "$out" = "visible 1"
out=$(probe close 10)
check "close hides the dialog ($out)" test "$out" = "visible 0"
out=$(probe tray 515 10)  # WM_LBUTTONDBLCLK
check "a double-click on the icon shows the dialog ($out)" test "$out" = "visible 1"

# 3. The lists from the service: asked for about six seconds after the start.
out=$(probe wait-lists 30 2 1)
check "both lists filled from the service" test $? -eq 0
check "available C:\\ and Z:\\, watching D:\\ ($(echo $out))" \
    test "$out" = $'available: C:\\|Z:\\\nwatching: D:\\'
# The first watched drive starts the statistics: labels name the drive, the values are the service's.
out=$(probe wait-text 1013 'Fragments Saved on D:\' 20)
check "statistics asked for D ($out)" test "$out" = 'Fragments Saved on D:\'
out=$(probe wait-number 1024 20)
check "the lifetime total arrived ($out)" test $? -eq 0
out=$(probe wait-number 1008 5)
check "files left on D arrived ($out)" test $? -eq 0
# Watch C with "--->": it moves over at once, and a rescan shows the service watching it.
out=$(probe watch C 5)
check "Watch moves C over ($(echo $out))" test "$out" = $'available: Z:\\\nwatching: D:\\|C:\\'
probe command 1028 >/dev/null  # "Rescan Drives"
# The rescan's code-21 reply rebuilds Watching in the service's order, by drive letter: C before D shows
# both that the reply came and that the service watches C.
for _ in $(seq 30); do
    out=$(probe lists | head -2)
    [ "$out" = $'available: Z:\\\nwatching: C:\\|D:\\' ] && break
    sleep 0.5
done
check "the service reports C watched ($(echo $out))" test "$out" = $'available: Z:\\\nwatching: C:\\|D:\\'
# The service lists its drives by letter, so C came before D; the selection stayed on D, which the
# statistics labels name.
selected=$(probe selected 1019)
label=$(probe text 1013)
check "the selection stays on D:\\ and the labels name it ($selected; $label)" \
    test "$selected|$label" = 'D:\|Fragments Saved on D:\'

# 4. The screenshot: the whole screen, and the dialog cut out of it.
sleep 1
import -window root "$artifacts/kestrel-screen.png"
read -r x y w h < <(probe rect)
check "screenshot written" test -s "$artifacts/kestrel-screen.png"
convert "$artifacts/kestrel-screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$artifacts/kestrel-dialog.png"
check "dialog cut out (${w}x${h}+${x}+${y})" test -s "$artifacts/kestrel-dialog.png"

# Once the service has answered, the tray shows the connected icon: the tray's pixels have changed.
probe close 10 >/dev/null
sleep 1
import -window root "$artifacts/kestrel-tray-connected.png"
changed=$(compare -metric AE \( "$artifacts/kestrel-tray.png" -crop "$tray_area" +repage \) \
    \( "$artifacts/kestrel-tray-connected.png" -crop "$tray_area" +repage \) null: 2>&1)
check "the tray icon changed to the connected one ($changed pixels differ in $tray_area)" test "${changed%% *}" -gt 0
probe command 32774 10 >/dev/null

# 5. A second panel: the message box, then exit code 0; the first runs on.
timeout 60 wine "$panel" </dev/null >"$work/second.out" 2>&1 &
second=$!
out=$(probe dismiss 20)
check "the second panel shows the message box" \
    test "$out" = $'caption: KESTREL Already Running\ntext: You cannot run multiple versions of Kestrel'
wait "$second"
check "the second panel exits with 0" test $? -eq 0
out=$(probe find 5)
check "the first panel still runs ($out)" test "$out" = "visible 1"

# 6. The quit event ends the first panel at its next timer-2 tick (10 s), and the icon leaves the tray.
probe set-event Tarnwell 25 until-gone >/dev/null &
setter=$!
wait "$first"
code=$?
first=""
check "the quit event ended the first panel with 0" test "$code" -eq 0
wait "$setter"
out=$(probe tray-gone 5)
check "the icon left the tray ($out)" test "$out" = "tray not shown"

# 7. The per-user key, and an embedded start: no window, no icon, ended by the quit event.
check "the per-user key exists" bash -c "timeout 60 wine reg query 'HKCU\\Software\\Quorvane\\Kestrel' </dev/null >/dev/null 2>&1"
timeout 60 wine "$panel" /Embedding </dev/null >"$work/embedded.out" 2>&1 &
embedded=$!
sleep 4
out=$(probe find 1)
check "an embedded start has no window ($out)" test "$out" = "no panel window"
out=$(probe tray-gone 1)
check "an embedded start has no icon ($out)" test "$out" = "tray not shown"
probe set-event Tarnwell 10 >/dev/null &
setter=$!
wait "$embedded"
check "the quit event ended the embedded start with 0" test $? -eq 0
wait "$setter"

if [ $failures -ne 0 ]; then
    echo "== $failures failure(s)"
    for f in "$work"/*.out; do echo "-- $f"; tr -d '\r' <"$f" | tail -20; done
    exit 1
fi
echo "panel under Wine: all checks passed; screenshots in $artifacts"
