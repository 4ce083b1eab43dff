#!/usr/bin/env bash
# The service framework under Wine's service manager, with the real Windows test service:
# install, start, user control 128, stop with the states in order, remove, and the console texts.
# Usage: service_framework_test.sh <kestrel_test_service.exe> <kestrel_service_control.exe>
set -uo pipefail
exe=$1
control=$2
name=KestrelTestSvc
. "$(dirname "$0")/../../scripts/wine-env"

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
cleanup() {
    run net stop "$name" >/dev/null
    run "$exe" -u >/dev/null
}
trap cleanup EXIT
cleanup  # what an interrupted earlier run may have left
rm -f "$exe.trace"

source_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$name"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
exe_windows=$(timeout 60 winepath -w "$exe" 2>/dev/null </dev/null)

expect "$name Version 1.0"$'\n'"The service is not installed" "$exe" -v
expect "$name installed" "$exe" -i
values=$(run reg query "$source_key")
grep -qxF "    EventMessageFile    REG_EXPAND_SZ    $exe_windows" <<<"$values" || fail "EventMessageFile: $values"
grep -qxF "    TypesSupported    REG_DWORD    0x7" <<<"$values" || fail "TypesSupported: $values"
expect "$name is already installed" "$exe" -I
expect "$name Version 1.0"$'\n'"The service is currently installed" "$exe" -V

run net start "$name" | grep -q "started successfully" || fail "net start"
expect "state 4" "$control" "$name" state
expect "sent 128, state 4" "$control" "$name" 128
grep -q "TestService handled user control 128 (registry result 0)" "$exe.trace" || fail "128 did not reach OnUserControl"
run reg query "$service_key\\Status" | grep -qxF "    UserControl    REG_DWORD    0x80" || fail "128 not recorded"
expect "sent 129, state 4" "$control" "$name" 129  # not handled: event 106, the service runs on
grep -q "CNTService::OnUserControl(00000081H)" "$exe.trace" || fail "129 did not reach OnUserControl"

run net stop "$name" | grep -q "stopped successfully" || fail "net stop"
expect "state 1" "$control" "$name" state
# The service process's states, in the order it reported them.
states=$(tr -d '\r' <"$exe.trace" | sed -n 's/.*CNTService::SetStatus([0-9]*, \([0-9]*\))$/\1/p' | tr '\n' ' ')
[ "$states" = "2 4 3 1 " ] || fail "states reported: $states"
# The dispatcher returns once the service has reported itself stopped, and the process then ends; the
# service-main thread's own last line ("Leaving CNTService::ServiceMain()") races with that exit, so
# only the dispatcher's line is certain. It is written a moment after net stop returns.
for _ in $(seq 100); do
    grep -qF "Returned from StartServiceCtrlDispatcher()" "$exe.trace" 2>/dev/null && break
    sleep 0.1
done
grep -qF "Returned from StartServiceCtrlDispatcher()" "$exe.trace" || fail "the dispatcher did not return"

expect "$name removed." "$exe" -u
run reg query "$source_key" | grep -q . && fail "event-log key left behind"
run reg query "$service_key" | grep -q . && fail "service key left behind"
expect "$name is not installed" "$exe" -u
echo "service framework under Wine: all checks passed"
