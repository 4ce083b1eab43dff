#!/usr/bin/env bash
# KestrelService in the host's foreground: installed into a private state directory, asked by a client
# process over the host's mailslots, user control 128 by signal, stopped by signal.
# Usage: host_service_test.sh <KestrelService> <request_tool>
set -euo pipefail
exe=$1
client=$2
work=$(mktemp -d /tmp/kestrel-svc-XXXXXX)
pid=
trap 'kill -KILL "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/mail
fail() {
    echo "FAIL: $*"
    echo "--- trace"
    tail -40 "$work/trace" 2>/dev/null || true
    exit 1
}
name=Kestrel_Defragmentation
[ "$("$exe" -v)" = "$name Version 1.0"$'\n'"The service is not installed" ] || fail "-v"
# Anything but a switch prints the usage and ends with 64 instead of starting the service.
for argument in --help -x foo -vv; do
    status=0
    timeout 10 "$exe" "$argument" >"$work/out" 2>"$work/err" </dev/null || status=$?
    [ "$status" = 64 ] || fail "$argument: exit status $status"
    grep -q '^Usage: KestrelService -v | -i | -u$' "$work/err" || fail "$argument: no usage"
    [ ! -s "$work/out" ] || fail "$argument: wrote to standard output"
done
[ -z "$(ls -A "$KESTREL_MAILSLOT_DIR" 2>/dev/null)" ] || fail "a mailslot was created"
[ "$("$exe" -i)" = "$name installed" ] || fail "-i"

KESTREL_TRACE=1 "$exe" >"$work/out" 2>"$work/trace" &
pid=$!
for _ in $(seq 100); do grep -q 'status RUNNING' "$KESTREL_STATE_DIR/events.log" 2>/dev/null && break; sleep 0.1; done
grep -q 'status RUNNING' "$KESTREL_STATE_DIR/events.log" || fail "not running"

# The host has no drives of its own: nothing is watched or available, and the lists get no answer.
replies=$("$client" Smoke 8000 3 'GetWatchingDrives@' 'CGetData@' 'CFreeSpace@') || fail "client: $replies"
want='reply: 22, 0;;;0;;;0;;;0;;;0;;;0;;;
reply: 25, C0DEFRAGONLY\\.\mailslot\Smoke
reply: 23, No calc'
[ "$replies" = "$want" ] || fail "replies:"$'\n'"$replies"
# Defrag only for C is stored and reported back.
replies=$("$client" Smoke 8000 2 'C1DEFRAGONLY@' 'CGetData@') || fail "client: $replies"
grep -qxF 'reply: 25, C1DEFRAGONLY\\.\mailslot\Smoke' <<<"$replies" || fail "defrag only: $replies"

kill -USR1 "$pid"
# The value is written after the trace line that announces it, so the store itself is waited for.
saved() { grep -q '^value =Current 4 x01000000$' "$KESTREL_STATE_DIR/registry.dat"; }
for _ in $(seq 100); do saved && break; sleep 0.1; done
saved || fail "Current not saved"
grep -q "RegisterDeviceNotification failed: (00000078H)." "$work/trace" || fail "device registration"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "exit status $status"
grep -q "Command Thread exiting" "$work/trace" || fail "the command thread did not end"
status=0
"$client" Smoke 300 1 'GetWatchingDrives@' >/dev/null 2>&1 || status=$?
[ "$status" = 3 ] || fail "with the service stopped the client ended with $status"
[ "$("$exe" -u)" = "$name removed." ] || fail "-u"
echo "KestrelService on the host: all checks passed"
