#!/usr/bin/env bash
# The setup program in a fresh Wine prefix: a silent install (programs, service entry with a quoted image
# path and automatic start, service running, logon entry, installed-programs entry), a second install over
# the first (one service entry, settings kept, service running again), then the silent uninstaller with a
# panel running (service, files, logon and installed-programs entries gone, panel ended).
# Usage: installer_test.sh <Kestrel-Setup.exe> <kestrel_service_control.exe>
set -uo pipefail
setup=$1
control=$2
name=Kestrel_Defragmentation

# A prefix of its own, made anew on every run: the installer must work on a machine that never saw it.
export WINEPREFIX="$(cd "$(dirname "$setup")" && pwd)/wineprefix-setup"
timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
. "$(dirname "$0")/../../scripts/wine-env"
setsid wineserver -p 30 </dev/null >/dev/null 2>&1 || true

run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() {
    echo "FAIL: $*"
    exit 1
}
state() { run "$control" "$name" state; }
wait_for() {  # wait_for <seconds> <command...>: until the command succeeds
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
service_running() { [ "$(state)" = "state 4" ]; }
service_gone() { ! run "$control" "$name" state >/dev/null; }
# A panel of this prefix (other prefixes may run panels of their own).
panel_running() {
    local pid
    for pid in $(pgrep -x Kestrel.exe); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
cleanup() {
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT

program_files=$(timeout 60 winepath -u 'C:\Program Files' 2>/dev/null </dev/null)
dir="$program_files/Kestrel"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel'

# --- First install ---------------------------------------------------------------------------------------
timeout 300 wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the setup program failed ($?)"
for f in KestrelService.exe Kestrel.exe Uninstall.exe; do
    [ -f "$dir/$f" ] || fail "$f not installed in $dir"
done
image=$(run reg query "$service_key" /v ImagePath | sed -n 's/^    ImagePath    REG_[A-Z_]*    //p')
[ "$image" = '"C:\Program Files\Kestrel\KestrelService.exe"' ] || fail "image path: $image"
start=$(run reg query "$service_key" /v Start | sed -n 's/^    Start    REG_DWORD    //p')
[ "$start" = "0x2" ] || fail "start type: $start (automatic start is 0x2)"
wait_for 30 service_running || fail "the service is not running: $(state)"
logon=$(run reg query "$run_key" /v Kestrel | sed -n 's/^    Kestrel    REG_SZ    //p')
[ "$logon" = '"C:\Program Files\Kestrel\Kestrel.exe"' ] || fail "logon entry: $logon"
entry=$(run reg query "$uninstall_key")
grep -qxF '    DisplayName    REG_SZ    Kestrel' <<<"$entry" || fail "installed-programs entry: $entry"
grep -qxF '    UninstallString    REG_SZ    "C:\Program Files\Kestrel\Uninstall.exe"' <<<"$entry" ||
    fail "uninstall string: $entry"
echo "installed: files, service running with a quoted image path and automatic start, both entries"

# --- Upgrade in place --------------------------------------------------------------------------------------
# A setting of the user's, stored by the service under Parameters, must survive the upgrade.
run reg add "$service_key\\Parameters" /v Inc /t REG_DWORD /d 7 /f >/dev/null
timeout 300 wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the second setup failed ($?)"
wait_for 30 service_running || fail "the service is not running after the upgrade: $(state)"
inc=$(run reg query "$service_key\\Parameters" /v Inc | sed -n 's/^    Inc    REG_DWORD    //p')
[ "$inc" = "0x7" ] || fail "the upgrade lost the service's settings (Inc = '$inc')"
services=$(run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' | grep -ci 'kestrel')
[ "$services" = "1" ] || fail "$services service entries after the upgrade"
echo "upgraded in place: one service entry, settings kept, service running"

# --- Uninstall, with a panel running ---------------------------------------------------------------------
# The panel needs a display; a virtual one serves.
export DISPLAY=:$((90 + RANDOM % 400))
Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
timeout 120 wine "$dir/Kestrel.exe" </dev/null >/dev/null 2>&1 &
wait_for 30 panel_running || fail "the panel did not start"
timeout 300 wine "$dir/Uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the uninstaller failed ($?)"
# The uninstaller runs from a copy of itself and returns at once: wait for its work.
wait_for 90 test ! -e "$dir" || fail "files left in $dir: $(ls "$dir")"
wait_for 30 service_gone || fail "the service is still registered: $(state)"
run reg query "$run_key" /v Kestrel | grep -q Kestrel && fail "the logon entry is still there"
run reg query "$uninstall_key" >/dev/null && fail "the installed-programs entry is still there"
run reg query "$service_key" >/dev/null && fail "the service key is still there"
panel_stopped() { ! panel_running; }
wait_for 10 panel_stopped || fail "the panel still runs"
echo "uninstalled: service, files, logon and installed-programs entries gone, panel ended"
