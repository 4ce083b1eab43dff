#!/usr/bin/env bash
# The real KestrelService under Wine's service manager: install, start, a client process asking over real
# mailslots, user control 128, a change on the watched drive reaching the service although Wine refuses
# the volume requests, stop within its bound, remove.
# Usage: kestrel_service_test.sh <KestrelService.exe> <kestrel_service_control.exe> <request_tool.exe>
set -uo pipefail
control=$2
client=$3
name=Kestrel_Defragmentation
. "$(dirname "$0")/../../scripts/wine-env"

work=$(mktemp -d)
mkdir "$work/Kestrel Service"
cp "$1" "$work/Kestrel Service/"
exe="$work/Kestrel Service/$(basename "$1")"

run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() {
    echo "FAIL: $*"
    exit 1
}
expect() {  # expect "<output>" <command...>
    local want=$1 got
    shift
    got=$(run "$@")
    [ "$got" = "$want" ] || fail "'$*' printed '$got', expected '$want'"
}
wait_state() {  # wait_state <n> [tries of 0.2 s]
    for _ in $(seq "${2:-100}"); do
        [ "$(run "$control" "$name" state)" = "state $1" ] && return 0
        sleep 0.2
    done
    return 1
}
# ask <count> <request...>: the replies ("reply: ..." lines) the client receives, within 15 s.
ask() {
    local count=$1
    shift
    run "$client" KestrelWineTest 15000 "$count" "$@"
}
reply_name='\\.\mailslot\KestrelWineTest'
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
cleanup() {
    run net stop "$name" >/dev/null
    run "$exe" -u >/dev/null
    run reg delete "$service_key" /f >/dev/null
    rm -rf "$drive_c/kestrel-wine-test"
}
drive_c="$WINEPREFIX/drive_c"
trap 'cleanup; rm -rf "$work"' EXIT
cleanup  # what an interrupted earlier run may have left

expect "$name Version 1.0"$'\n'"The service is not installed" "$exe" -v
expect "$name installed" "$exe" -i
expect "$name is already installed" "$exe" -i

# Parameters for the run, and only drive C watched: the scan would otherwise watch every fixed drive of
# the prefix, Z: (the whole host file system) among them.
{
    echo 'REGEDIT4'
    echo
    echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\$name\\Parameters]"
    echo '"Start"=dword:00000005'
    echo '"Inc"=dword:00000003'
    echo
    echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\$name\\Parameters\\WatchingDrives]"
    echo '"3"=dword:00000001'
    for i in $(seq 4 26); do echo "\"$i\"=dword:00000000"; done
} >"$work/params.reg"
run regedit /S "$(timeout 60 winepath -w "$work/params.reg" 2>/dev/null </dev/null)"
run reg query "$service_key\\Parameters" | grep -qxF "    Start    REG_DWORD    0x5" || fail "parameters not set up"

run net start "$name" >/dev/null
wait_state 4 || fail "the service did not reach running"

# The lists: C is watched; whatever else is available is a run of roots without C.
replies=$(ask 1 "GetWatchingDrives@")
[ "$replies" = 'reply: 21, C:\' ] || fail "GetWatchingDrives answered: $replies"
replies=$(ask -1 "GetAvailableDrives@" | head -1)
if [ -n "$replies" ]; then
    grep -qxE 'reply: 20, ([D-Z]:\\)+' <<<"$replies" || fail "GetAvailableDrives answered: $replies"
fi
# Statistics of C, and Wine's refusal of the volume requests seen as "No calc".
replies=$(ask 3 "CGetData@" "CFreeSpace@")
want="reply: 22, 0;;;0;;;0;;;0;;;0;;;0;;;
reply: 25, C0DEFRAGONLY$reply_name
reply: 23, No calc"
[ "$replies" = "$want" ] || fail "GetData and FreeSpace answered:"$'\n'"$replies"
# A drive that is not watched.
replies=$(ask 2 "QGetData@")
[ "$replies" = "reply: 22, 0;;;0;;;0;;;0;;;0;;;0;;;"$'\n'"reply: 25, Q0DEFRAGONLY$reply_name" ] ||
    fail "QGetData answered: $replies"

# A file that grows on C reaches the watcher's queue although the volume requests fail: the files left
# count of C shows it (it is dropped again after its 30-second rest, when it cannot be measured).
mkdir -p "$drive_c/kestrel-wine-test"
for round in $(seq 10); do
    head -c 65536 /dev/urandom >>"$drive_c/kestrel-wine-test/grown.bin"
    sleep 0.3
done
queued=
for _ in $(seq 10); do
    replies=$(ask 2 "CGetData@" | head -1)
    if grep -qE '^reply: 22, [1-9][0-9]*;;;0;;;0;;;[1-9][0-9]*;;;0;;;0;;;$' <<<"$replies"; then
        queued=1
        break
    fi
    sleep 1
done
[ -n "$queued" ] || fail "the changed file never showed as a file left: $replies"

# User control 128 saves Start + Inc.
expect "sent 128, state 4" "$control" "$name" 128
run reg query "$service_key\\Status" | grep -qxF "    Current    REG_DWORD    0x8" ||
    fail "Current: $(run reg query "$service_key\\Status")"

# The stop: the command thread's poll (1 s), the watcher's pause after a walk (10 s) and the threads'
# ends, with room for Wine.
started=$(date +%s)
run net stop "$name" | grep -q "stopped successfully" || fail "net stop"
wait_state 1 50 || fail "the service did not stop"
took=$(($(date +%s) - started))
[ "$took" -le 25 ] || fail "the stop took $took s"
expect "state 1, exit 0, specific 0" "$control" "$name" status
# The queued file was saved for the next start.
run reg query "$service_key\\Parameters\\FilesFor C" | grep -qi 'grown.bin' ||
    fail "the pending file was not saved: $(run reg query "$service_key\\Parameters\\FilesFor C")"
# With the service stopped nothing answers.
replies=$(run "$client" KestrelWineTest 500 1 "GetWatchingDrives@")
[ -z "$replies" ] || fail "a stopped service answered: $replies"

expect "$name removed." "$exe" -u
run reg query "$service_key" /v ImagePath | grep -q ImagePath && fail "service left behind"
expect "$name is not installed" "$exe" -u
echo "KestrelService under Wine: all checks passed (stop took $took s)"
