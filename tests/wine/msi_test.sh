#!/usr/bin/env bash
# Kestrel.msi under Wine's Windows Installer, in a fresh prefix:
# - the example settings (installer/Kestrel-settings.reg) imported before anything is installed;
# - `msiexec /i /qn`: programs present, the service registered by the package (own process, automatic
#   start, LocalSystem, quoted image path) and running, the event source, the logon entry and the
#   installed-programs entry; the service acting on the imported settings (only C: watched, the
#   exclusion and "Defrag Only" reported by GetData);
# - a package of the next version over it: one product and one service left, running again, the newer
#   programs in place, and the values under Parameters (the imported ones and one set afterwards) kept;
#   the older package refused over it; a rebuilt package of the same version replacing it;
# - `msiexec /x /qn` with a panel running: service, its key with the settings, event source, files,
#   logon and installed-programs entries gone, the panel ended.
# Usage: msi_test.sh <Kestrel.msi> <version> <KestrelService.exe> <Kestrel.exe> <settings.reg>
#                    <kestrel_service_control.exe> <request_tool.exe>
set -uo pipefail
msi=$1
version=$2
service_exe=$3
panel_exe=$4
settings=$5
control=$6
client=$7
name=Kestrel_Defragmentation
here=$(cd "$(dirname "$0")" && pwd)

# A prefix of its own, made anew on every run: the package must work on a machine that never saw it.
build=$(cd "$(dirname "$msi")" && pwd)
export WINEPREFIX="$build/wineprefix-msi"
timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
work=$(mktemp -d)
# The package of the next version, made while the prefix boots. Its programs differ from the first
# package's (a few bytes past the end of the image, which the loader ignores), so that the upgrade can be
# seen to replace them.
IFS=. read -r major minor patch <<<"$version"
next="$major.$minor.$((patch + 1))"
mkdir "$work/next"
for f in "$service_exe" "$panel_exe"; do
    { cat "$f"; echo "next version $next"; } >"$work/next/$(basename "$f")"
done
next_service="$work/next/$(basename "$service_exe")"
next_panel="$work/next/$(basename "$panel_exe")"
make() { bash "$here/../../installer/make_msi.sh" "$1" "$next_service" "$next_panel" "$work/$2"; }
make "$next" Kestrel-next.msi >"$work/make.log" 2>&1 &
maker=$!
. "$here/../../scripts/wine-env"
setsid wineserver -p 30 </dev/null >/dev/null 2>&1 || true

run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() {
    echo "FAIL: $*"
    exit 1
}
winpath() { timeout 60 winepath -w "$1" 2>/dev/null </dev/null; }
# msiexec <log name> <arguments...>: Windows Installer, silent, with a log shown when it fails.
msiexec() {
    local log=$1 status
    shift
    timeout 300 wine msiexec "$@" /qn /l*v "$(winpath "$work/$log.log")" </dev/null >/dev/null 2>&1
    status=$?
    if [ $status -ne 0 ]; then
        iconv -f UTF-16LE -t UTF-8 "$work/$log.log" 2>/dev/null | tr -d '\r' | tail -40 ||
            tail -40 "$work/$log.log"
        fail "msiexec $* exited with $status"
    fi
}
wait_for() {  # wait_for <seconds> <command...>: until the command succeeds
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
state() { run "$control" "$name" state; }
service_running() { [ "$(state)" = "state 4" ]; }
service_gone() { ! run "$control" "$name" state >/dev/null; }
# value <key> <name>: the data of a registry value as `reg query` prints it, with its type first.
value() { run reg query "$1" /v "$2" | sed -n "s/^    $2    \(REG_[A-Z_]*\)    /\1 /p"; }
# ask <count> <request...>: the replies ("reply: ..." lines) a client receives within 15 s.
ask() {
    local count=$1
    shift
    run "$client" KestrelMsiTest 15000 "$count" "$@"
}
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
    rm -rf "$work"
}
trap cleanup EXIT

program_files=$(timeout 60 winepath -u 'C:\Program Files' 2>/dev/null </dev/null)
dir="$program_files/Kestrel"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
event_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$name"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_root='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
code=$(product_code "$msi")
[ -n "$code" ] || fail "no ProductCode in $msi"
reply_name='\\.\mailslot\KestrelMsiTest'

# --- The package's tables, for what Wine's Windows Installer does not run --------------------------------
# Windows sets UPGRADINGPRODUCTCODE in the removal of the older version and runs rollback actions when an
# install fails; Wine does neither, so these parts are checked in the tables only.
summary=$(msiinfo suminfo "$msi" | tr -d '\r')
grep -qxF "Template: x64;1033" <<<"$summary" || fail "not a 64-bit package: $summary"
sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
actions=$(msiinfo export "$msi" CustomAction | tr -d '\r')
step() { sed -n "s/^$1\t\([^\t]*\)\t\([0-9]*\)\$/\2 \1/p" <<<"$sequence"; }
order=$(for a in StopServices EndPanels RemoveService RemoveFiles InstallFiles UnregisterServiceOnRollback \
    RegisterService StartServices InstallExecute RemoveExistingProducts RegisterProduct PublishProduct; do
    echo "$(step $a | cut -d' ' -f1) $a"
done | sort -n | cut -d' ' -f2 | tr '\n' ' ')
[ "$order" = "StopServices EndPanels RemoveService RemoveFiles InstallFiles UnregisterServiceOnRollback \
RegisterService StartServices InstallExecute RemoveExistingProducts RegisterProduct PublishProduct " ] ||
    fail "actions out of order: $order"
[ "$(step RemoveService | cut -d' ' -f2-)" = '$ServiceProgram=2 AND NOT UPGRADINGPRODUCTCODE' ] ||
    fail "RemoveService runs when: $(step RemoveService)"
[ "$(step UnregisterServiceOnRollback | cut -d' ' -f2-)" = 'NOT Installed AND NOT WIX_UPGRADE_DETECTED' ] ||
    fail "UnregisterServiceOnRollback runs when: $(step UnregisterServiceOnRollback)"
# 3410: a program from the installed KestrelService.exe (18), result ignored (64), rollback (256), in the
# script (1024), as the system (2048).
grep -qxP 'UnregisterServiceOnRollback\t3410\tKestrelService.exe\t-u\t' <<<"$actions" ||
    fail "the rollback action: $(grep UnregisterServiceOnRollback <<<"$actions")"
echo "tables: 64-bit package, actions in order, the service removed only on a real uninstall"

# --- Settings pushed before the install ---------------------------------------------------------------
run reg import "$(winpath "$settings")" >/dev/null
[ "$(value "$service_key\\Parameters\\WatchingDrives" 3)" = "REG_DWORD 0x1" ] ||
    fail "the settings were not imported: $(run reg query "$service_key\\Parameters" /s)"

# --- Install --------------------------------------------------------------------------------------------
msiexec install /i "$(winpath "$msi")"
for f in KestrelService.exe Kestrel.exe; do
    [ -f "$dir/$f" ] || fail "$f not installed in $dir"
    cmp -s "$dir/$f" "$([ $f = Kestrel.exe ] && echo "$panel_exe" || echo "$service_exe")" ||
        fail "$f differs from the program built"
done
image() { value "$service_key" ImagePath | sed 's/^[A-Z_]* //'; }
[ "$(image)" = '"C:\Program Files\Kestrel\KestrelService.exe"' ] || fail "image path: $(image)"
[ "$(value "$service_key" Start)" = "REG_DWORD 0x2" ] || fail "start type: $(value "$service_key" Start)"
[ "$(value "$service_key" Type)" = "REG_DWORD 0x10" ] || fail "service type: $(value "$service_key" Type)"
[ "$(value "$service_key" ObjectName)" = "REG_SZ LocalSystem" ] ||
    fail "account: $(value "$service_key" ObjectName)"
wait_for 30 service_running || fail "the service is not running: $(state)"
[ "$(value "$event_key" EventMessageFile)" = 'REG_EXPAND_SZ C:\Program Files\Kestrel\KestrelService.exe' ] ||
    fail "event source: $(run reg query "$event_key")"
[ "$(value "$event_key" TypesSupported)" = "REG_DWORD 0x7" ] || fail "event types: $(run reg query "$event_key")"
[ "$(value "$run_key" Kestrel)" = 'REG_SZ "C:\Program Files\Kestrel\Kestrel.exe"' ] ||
    fail "logon entry: $(value "$run_key" Kestrel)"
entry=$(run reg query "$uninstall_root\\$code")
for line in "DisplayName    REG_SZ    Kestrel" "DisplayVersion    REG_SZ    $version" "Publisher    REG_SZ    Kestrel" \
    'InstallLocation    REG_SZ    C:\Program Files\Kestrel\'; do
    grep -qxF "    $line" <<<"$entry" || fail "installed-programs entry without '$line': $entry"
done
echo "installed: programs, service running (own process, automatic, LocalSystem, quoted image path)," \
    "event source, logon and installed-programs entries"

# The service acts on the imported settings: only C: watched, its exclusion and "Defrag Only" reported.
replies=$(ask 1 "GetWatchingDrives@")
[ "$replies" = 'reply: 21, C:\' ] || fail "GetWatchingDrives answered: $replies"
replies=$(ask 3 "CGetData@")
want="reply: 22, 0;;;0;;;0;;;0;;;0;;;0;;;
reply: 24, C:\\BUILDS\\;
reply: 25, C1DEFRAGONLY$reply_name"
# The files-left counts depend on what else writes to C: meanwhile; the rest is exact.
got=$(sed '1s/^reply: 22, .*/reply: 22, 0;;;0;;;0;;;0;;;0;;;0;;;/' <<<"$replies")
[ "$got" = "$want" ] || fail "GetData answered:"$'\n'"$replies"
echo "settings: C: watched alone, the exclusion and Defrag Only reported by GetData"

# --- Upgrade to the next version ---------------------------------------------------------------------
wait "$maker" || fail "the package of version $next was not made: $(cat "$work/make.log")"
{ make "$next" Kestrel-same.msi && make "$version" Kestrel-older.msi; } >"$work/make.log" 2>&1 &
rebuilder=$!
next_code=$(product_code "$work/Kestrel-next.msi")
run reg add "$service_key\\Parameters" /v Inc /t REG_DWORD /d 7 /f >/dev/null
msiexec upgrade /i "$(winpath "$work/Kestrel-next.msi")"
wait_for 30 service_running || fail "the service is not running after the upgrade: $(state)"
# A service that the older package's removal deleted while it ran would only be marked for deletion, and
# go with its key at its next stop: it is stopped and started again before the settings are looked at.
run net stop "$name" >/dev/null
stopped_or_gone() { [[ "$(state)" =~ ^(state 1)?$ ]]; }
wait_for 30 stopped_or_gone || fail "the service does not stop after the upgrade: $(state)"
service_gone && fail "the service went at its first stop after the upgrade"
run net start "$name" >/dev/null
wait_for 30 service_running || fail "the service does not start again after the upgrade: $(state)"
[ "$(value "$service_key\\Parameters" Inc)" = "REG_DWORD 0x7" ] ||
    fail "the upgrade lost a value under Parameters: $(run reg query "$service_key\\Parameters" /s)"
[ "$(value "$service_key\\Parameters\\C" 0)" = 'REG_SZ C:\BUILDS\' ] ||
    fail "the upgrade lost the exclusion: $(run reg query "$service_key\\Parameters" /s)"
[ "$(image)" = '"C:\Program Files\Kestrel\KestrelService.exe"' ] || fail "image path after the upgrade: $(image)"
services=$(run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' | grep -ci 'kestrel')
[ "$services" = "1" ] || fail "$services service entries after the upgrade"
run reg query "$uninstall_root\\$code" >/dev/null && fail "the older product is still registered"
run reg query "$uninstall_root\\$next_code" | grep -qxF "    DisplayVersion    REG_SZ    $next" ||
    fail "the newer product is not registered: $(run reg query "$uninstall_root\\$next_code")"
cmp -s "$dir/KestrelService.exe" "$next_service" && cmp -s "$dir/Kestrel.exe" "$next_panel" ||
    fail "the upgrade did not put the newer programs in place: $(ls -l "$dir")"
replies=$(ask 3 "CGetData@" | sed -n '2p')
[ "$replies" = 'reply: 24, C:\BUILDS\;' ] || fail "the upgraded service lost the exclusion: $replies"
echo "upgraded in place to $next: one product, one service running, settings under Parameters kept"

# A package of an older version (built anew: Wine keeps treating a product code it once removed as
# installed, and would take that package for a maintenance run of it) is refused and changes nothing.
wait "$rebuilder" || fail "the rebuilt packages were not made: $(cat "$work/make.log")"
older_code=$(product_code "$work/Kestrel-older.msi")
timeout 300 wine msiexec /i "$(winpath "$work/Kestrel-older.msi")" /qn </dev/null >/dev/null 2>&1 &&
    fail "the package of the older version installed"
run reg query "$uninstall_root\\$older_code" >/dev/null && fail "the older package registered itself"
run reg query "$uninstall_root\\$next_code" >/dev/null || fail "the refused downgrade removed the newer product"
# A package rebuilt with the same version (a new ProductCode) replaces the installed one.
same_code=$(product_code "$work/Kestrel-same.msi")
msiexec rebuilt /i "$(winpath "$work/Kestrel-same.msi")"
run reg query "$uninstall_root\\$next_code" >/dev/null && fail "the package replaced by a rebuild is still registered"
run reg query "$uninstall_root\\$same_code" >/dev/null || fail "the rebuilt package is not registered"
wait_for 30 service_running || fail "the service is not running after the rebuilt package: $(state)"
[ "$(value "$service_key\Parameters" Inc)" = "REG_DWORD 0x7" ] || fail "the rebuilt package lost the settings"
next_code=$same_code
echo "an older package refused; a rebuilt package of the same version replaced the installed one"

# --- Uninstall, with a panel running ---------------------------------------------------------------------
# The panel needs a display; a virtual one serves.
export DISPLAY=:$((90 + RANDOM % 400))
Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
timeout 120 wine "$dir/Kestrel.exe" </dev/null >/dev/null 2>&1 &
wait_for 30 panel_running || fail "the panel did not start"
msiexec uninstall /x "$next_code"
wait_for 30 service_gone || fail "the service is still registered: $(state)"
run reg query "$service_key" >/dev/null && fail "the service key (with its settings) is still there"
run reg query "$event_key" >/dev/null && fail "the event source is still there"
[ -e "$dir" ] && fail "files left in $dir: $(ls "$dir")"
[ -z "$(value "$run_key" Kestrel)" ] || fail "the logon entry is still there"
run reg query "$uninstall_root\\$next_code" >/dev/null && fail "the installed-programs entry is still there"
panel_stopped() { ! panel_running; }
wait_for 10 panel_stopped || fail "the panel still runs"
echo "uninstalled: service with its settings, event source, files, logon and installed-programs entries" \
    "gone, panel ended"
