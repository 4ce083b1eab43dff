#!/usr/bin/env bash
# The test service in host mode: the installer switches against the host registry store, then a
# foreground run driven by signals (SIGUSR1 = user control 128, SIGTERM = stop), with its states and
# events checked in the log. Everything happens in a private state directory; no root rights are used.
set -euo pipefail
exe=$1
state=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$state"' EXIT
pid=
export KESTREL_STATE_DIR=$state/kestrel
rm -f "$exe.trace"
fail() { echo "FAIL: $*"; echo "--- log"; cat "$KESTREL_STATE_DIR/events.log" 2>/dev/null || true; exit 1; }
expect() {  # expect "<arguments>" "<exact output>"
    local out
    out=$("$exe" $1)
    [ "$out" = "$2" ] || fail "'$1' printed '$out', expected '$2'"
}

expect -v $'KestrelTestSvc Version 1.0\nThe service is not installed'
expect -i 'KestrelTestSvc installed'
[ "$(stat -c %a "$KESTREL_STATE_DIR")" = 700 ] || fail "state directory is not private"
[ "$(stat -c %a "$KESTREL_STATE_DIR/registry.dat")" = 600 ] || fail "registry store is not private"
grep -q '^key HKLM =SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KestrelTestSvc$' \
    "$KESTREL_STATE_DIR/registry.dat" || fail "no event-log source key"
grep -q '^value =TypesSupported 4 x07000000$' "$KESTREL_STATE_DIR/registry.dat" || fail "no TypesSupported"
expect -V $'KestrelTestSvc Version 1.0\nThe service is currently installed'
expect -I 'KestrelTestSvc is already installed'

# Run in the foreground; the service reports running, handles 128, stops on SIGTERM.
"$exe" >"$state/out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q 'status RUNNING' "$KESTREL_STATE_DIR/events.log" 2>/dev/null && break; sleep 0.1; done
grep -q 'status RUNNING' "$KESTREL_STATE_DIR/events.log" || fail "service did not reach running"
kill -USR1 "$pid"
for _ in $(seq 100); do grep -q 'handled user control 128' "$exe.trace" 2>/dev/null && break; sleep 0.1; done
grep -q 'handled user control 128 (registry result 0)' "$exe.trace" || fail "user control 128 not handled"
grep -q '^value =UserControl 4 x80000000$' "$KESTREL_STATE_DIR/registry.dat" || fail "user control not recorded"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "service exited with $status"
states=$(grep -o 'status [A-Z_]*' "$KESTREL_STATE_DIR/events.log" | awk '{print $2}' | uniq | tr '\n' ' ')
[ "$states" = "START_PENDING RUNNING STOP_PENDING STOPPED " ] || fail "states in order: $states"
events=$(grep -o 'KestrelTestSvc \(Information\|Error\) [0-9]* .*' "$KESTREL_STATE_DIR/events.log" | cut -d' ' -f3- |
         tr '\n' '|')
[ "$events" = "100 The KestrelTestSvc service was installed.|105 The service was started.|108 The service was stopped.|" ] ||
    fail "events: $events"

expect -u 'KestrelTestSvc removed.'
grep -q 'KestrelTestSvc' "$KESTREL_STATE_DIR/registry.dat" && fail "service keys left behind"
expect -U 'KestrelTestSvc is not installed'
echo "host service: all checks passed"
