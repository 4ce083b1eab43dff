#!/usr/bin/env bash
# The service framework under Wine's service manager, with the real Windows test service: install from a
# folder whose name holds a space, start, user control 128, stop with the states in order (as the service
# traced them and as the service manager saw them), a failed start, remove, and the console texts.
# Usage: service_framework_test.sh <kestrel_test_service.exe> <kestrel_service_control.exe>
set -uo pipefail
control=$2
name=KestrelTestSvc
. "$(dirname "$0")/../../scripts/wine-env"

# The service is installed from "<tmp>/Kestrel Test/". Beside that folder lies "<tmp>/Kestrel.exe" (any
# program will do): were the image path unquoted, the service manager would start that one instead.
work=$(mktemp -d)
mkdir "$work/Kestrel Test"
cp "$1" "$work/Kestrel Test/"
cp "$control" "$work/Kestrel.exe"
exe="$work/Kestrel Test/$(basename "$1")"

# Runs a Windows command; standard output without carriage returns.
run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() {
    echo "FAIL: $*"
    echo "--- trace"
    tr -d '\r' <"$exe.trace" 2>/dev/null | grep -v '^$' | tail -40
    exit 1
}
expect() {  # expect "<output>" <command...>
    local want=$1 got
    shift
    got=$(run "$@")
    [ "$got" = "$want" ] || fail "'$*' printed '$got', expected '$want'"
}
wait_state() {  # wait_state <n>: until the service manager holds state n
    for _ in $(seq 60); do
        [ "$(run "$control" "$name" state)" = "state $1" ] && return 0
        sleep 0.2
    done
    return 1
}
# The states the service reported, in order, from its own trace lines.
traced_states() { tr -d '\r' <"$exe.trace" | sed -n 's/.*CNTService::SetStatus([0-9]*, \([0-9]*\))$/\1/p' | tr '\n' ' '; }
# The service manager's view of one run: starts watching, returns once the watcher is ready.
watch() {
    rm -f "$work/watch"
    # Straight to the file: a pipe through tr would hold "watching" back until the watcher ends.
    timeout 120 wine "$control" "$name" watch 90 </dev/null >"$work/watch" 2>/dev/null &
    watcher=$!
    for _ in $(seq 300); do grep -q watching "$work/watch" 2>/dev/null && return 0; sleep 0.1; done
    fail "the state watcher did not start"
}
# Waits for the watcher (in this shell: it is this shell's child) and leaves what it saw in $seen.
watched() {
    wait "$watcher"
    seen=$(tr -d '\r' <"$work/watch" | grep '^states')
}
line_of() { tr -d '\r' <"$exe.trace" | grep -nF "$1" | head -1 | cut -d: -f1; }
cleanup() {
    run net stop "$name" >/dev/null
    run "$exe" -u >/dev/null
}
trap 'cleanup; rm -rf "$work"' EXIT
cleanup  # what an interrupted earlier run may have left

source_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$name"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
exe_windows=$(timeout 60 winepath -w "$exe" 2>/dev/null </dev/null)

expect "$name Version 1.0"$'\n'"The service is not installed" "$exe" -v
expect "$name installed" "$exe" -i
values=$(run reg query "$source_key")
grep -qxF "    EventMessageFile    REG_EXPAND_SZ    $exe_windows" <<<"$values" || fail "EventMessageFile: $values"
grep -qxF "    TypesSupported    REG_DWORD    0x7" <<<"$values" || fail "TypesSupported: $values"
# (The type is the service manager's business: Wine keeps REG_SZ, Windows REG_EXPAND_SZ.)
image=$(run reg query "$service_key" /v ImagePath | sed -n 's/^    ImagePath    REG_[A-Z_]*    //p')
[ "$image" = "\"$exe_windows\"" ] || fail "ImagePath not quoted: $image"
expect "$name is already installed" "$exe" -I
expect "$name Version 1.0"$'\n'"The service is currently installed" "$exe" -V

# A run with slow start and stop, so that the service manager holds each pending state for a while.
echo "init=1000 stop=1000" >"$exe.options"
rm -f "$exe.trace"
watch
run net start "$name" >/dev/null
wait_state 4 || fail "the service did not reach running"
grep -q "TestService initialised (error 0)" "$exe.trace" || fail "the service program that ran is not the test service"
expect "sent 128, state 4" "$control" "$name" 128
grep -q "TestService handled user control 128 (registry result 0)" "$exe.trace" || fail "128 did not reach OnUserControl"
run reg query "$service_key\\Status" | grep -qxF "    UserControl    REG_DWORD    0x80" || fail "128 not recorded"
expect "sent 129, state 4" "$control" "$name" 129  # not handled: event 106, the service runs on
grep -q "CNTService::OnUserControl(00000081H)" "$exe.trace" || fail "129 did not reach OnUserControl"

run net stop "$name" | grep -q "stopped successfully" || fail "net stop"
expect "state 1, exit 0, specific 0" "$control" "$name" status
watched
[ "$seen" = "states 2 4 3 1" ] || fail "the service manager saw: $(cat "$work/watch")"
[ "$(traced_states)" = "2 4 3 1 " ] || fail "states reported: $(traced_states)"
# The dispatcher returns once the service has reported itself stopped, which the service main does as its
# last act; only then is the service object destroyed and the process ends. Written a moment after net
# stop returns.
for _ in $(seq 100); do
    grep -qF "CNTService::~CNTService()" "$exe.trace" 2>/dev/null && break
    sleep 0.1
done
stopped=$(tr -d '\r' <"$exe.trace" | grep -o 'CNTService::SetStatus([0-9]*, 1)' | head -1)
[ -n "$stopped" ] || fail "no stopped report traced"
previous=0
for line in "Leaving CNTService::ServiceMain()" "$stopped" "Returned from StartServiceCtrlDispatcher()" \
    "CNTService::~CNTService()"; do
    at=$(line_of "$line")
    [ -n "$at" ] && [ "$at" -gt "$previous" ] || fail "'$line' missing or out of order at the end of the run"
    previous=$at
done

# A start whose initialisation fails: stopped reported once, with the error as the exit code.
echo "init=500 fail=13" >"$exe.options"
rm -f "$exe.trace"
watch
run net start "$name" >/dev/null
watched
[ "$seen" = "states 2 1" ] || fail "failed start: the service manager saw: $(cat "$work/watch")"
expect "state 1, exit 13, specific 0" "$control" "$name" status
[ "$(traced_states)" = "2 1 " ] || fail "failed start: states reported: $(traced_states)"
rm -f "$exe.options"

expect "$name removed." "$exe" -u
run reg query "$source_key" | grep -q . && fail "event-log key left behind"
run reg query "$service_key" | grep -q . && fail "service key left behind"
expect "$name is not installed" "$exe" -u
echo "service framework under Wine: all checks passed"
