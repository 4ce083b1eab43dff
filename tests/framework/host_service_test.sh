#!/usr/bin/env bash
# The test service in host mode: the installer switches against the host registry store, then a
# foreground run driven by signals (SIGUSR1 = user control 128, SIGTERM = stop), with its states and
# events checked in the log; then a stop while starting, a second and a third stop signal while the stop
# hook runs. Everything happens in a private state directory; no root rights are used.
set -euo pipefail
exe=$1
state=$(mktemp -d)
pid=
trap 'kill -KILL "$pid" 2>/dev/null || true; rm -rf "$state"' EXIT
export KESTREL_STATE_DIR=$state/kestrel
rm -f "$exe.trace"
fail() {
    echo "FAIL: $*"
    echo "--- log"
    cat "$KESTREL_STATE_DIR/events.log" 2>/dev/null || true
    echo "--- trace"
    tail -30 "$exe.trace" 2>/dev/null || true
    exit 1
}
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

log=$KESTREL_STATE_DIR/events.log
grep -qF 'KestrelTestSvc Information 100 The KestrelTestSvc service was installed.' "$log" || fail "no event 100"
trace=$exe.trace
options=$exe.options
trap 'kill -KILL "$pid" 2>/dev/null || true; rm -rf "$state" "$options"' EXIT
rm -f "$options"
wait_for() {  # wait_for <file> <fixed text>: up to 10 s
    for _ in $(seq 100); do grep -qF "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
# Every state reported, in order, duplicates kept: a state sent twice must show.
states() { grep -o 'status [A-Z_]*' "$log" | awk '{print $2}' | tr '\n' ' '; }
count() { grep -cF "$1" "$2" || true; }
line_of() { grep -nF "$1" "$trace" | head -1 | cut -d: -f1; }
start() {  # start [options]: a fresh log and trace, then the service in the foreground
    : >"$log"
    : >"$trace"
    if [ -n "${1:-}" ]; then echo "$1" >"$options"; else rm -f "$options"; fi
    "$exe" >"$state/out" 2>&1 &
    pid=$!
}
finish() {  # finish <expected exit status>
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" = "$1" ] || fail "service exited with $status, expected $1"
}

# Run in the foreground; the service reports running, handles 128, stops on SIGTERM.
start
wait_for "$log" 'status RUNNING' || fail "service did not reach running"
kill -USR1 "$pid"
wait_for "$trace" 'handled user control 128' || fail "user control 128 not handled"
grep -q 'handled user control 128 (registry result 0)' "$trace" || fail "user control 128 not handled"
grep -q '^value =UserControl 4 x80000000$' "$KESTREL_STATE_DIR/registry.dat" || fail "user control not recorded"
kill -TERM "$pid"
finish 0
# The handler's closing update repeats the current state after each control; stopped comes once, last.
[ "$(states)" = "START_PENDING RUNNING RUNNING STOP_PENDING STOP_PENDING STOPPED " ] || fail "states: $(states)"
events=$(grep -o 'KestrelTestSvc \(Information\|Error\) [0-9]* .*' "$log" | cut -d' ' -f3- | tr '\n' '|')
[ "$events" = "105 The service was started.|108 The service was stopped.|" ] || fail "events: $events"

# A stop while the service is still starting waits until it runs: the states never go back.
start init=1500
wait_for "$log" 'status START_PENDING' || fail "service did not report start pending"
kill -TERM "$pid"
finish 0
[ "$(states)" = "START_PENDING RUNNING STOP_PENDING STOP_PENDING STOPPED " ] || fail "stop while starting: $(states)"
[ "$(count 'CNTService::OnStop()' "$trace")" = 1 ] || fail "stop while starting: OnStop not run once"
running=$(line_of 'CNTService::SetStatus(1, 4)')
stopped=$(line_of 'CNTService::OnStop()')
[ -n "$running" ] && [ -n "$stopped" ] && [ "$running" -lt "$stopped" ] ||
    fail "stop while starting: OnStop ran before the service was running"

# A second stop signal while the stop is under way starts nothing.
start stop=1500
wait_for "$log" 'status RUNNING' || fail "service did not reach running"
kill -TERM "$pid"
wait_for "$trace" 'CNTService::OnStop()' || fail "OnStop not called"
kill -TERM "$pid"
finish 0
[ "$(count 'CNTService::OnStop()' "$trace")" = 1 ] || fail "second signal: OnStop ran again"
[ "$(count 'Information 108 ' "$log")" = 1 ] || fail "second signal: the stop was logged again"
[ "$(states)" = "START_PENDING RUNNING STOP_PENDING STOP_PENDING STOPPED " ] || fail "second signal: $(states)"
grep -q 'already under way' "$state/out" || fail "second signal: no word on the console"

# The third ends the process at once, even while the stop hook still runs.
start stop=60000
wait_for "$log" 'status RUNNING' || fail "service did not reach running"
kill -TERM "$pid"
wait_for "$trace" 'CNTService::OnStop()' || fail "OnStop not called"
kill -TERM "$pid"
sleep 0.3  # two signals sent at once may arrive as one
kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "third signal: the process did not end"
finish 143  # ended by SIGTERM
rm -f "$options"

expect -u 'KestrelTestSvc removed.'
grep -q 'KestrelTestSvc' "$KESTREL_STATE_DIR/registry.dat" && fail "service keys left behind"
expect -U 'KestrelTestSvc is not installed'
echo "host service: all checks passed"
