#!/usr/bin/env bash
# The idle cost of the host service: its CPU time (utime + stime from /proc/PID/stat) over a stretch of
# real time with watched drives and no changes, and its resident memory (VmRSS) with 1 and 2 watched
# drives on large simulated volumes (512 Mi clusters of 4 KiB each = 2 TiB; one bitmap = 64 MiB).
#
#     bash scripts/measure_cost.sh [--build-dir DIR] [--idle-seconds N] [--volume-size SIZE]
#
# Time is not scaled here: the idle service's own timers run at their real periods.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host idle=600 size=2T
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --idle-seconds) idle=$2; shift ;;
        --volume-size) size=$2; shift ;;
        *) echo "usage: bash scripts/measure_cost.sh [--build-dir DIR] [--idle-seconds N] [--volume-size SIZE]" >&2; exit 64 ;;
    esac
    shift
done
service=$build/service/app/KestrelService
panel=$build/panel/host/kestrel
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-cost.XXXXXX")
pid=
cleanup() { [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
ticks=$(getconf CLK_TCK)
cputicks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
hwm() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }

# Starts the service over the given letters (each a fresh directory), watches them, waits until they are
# mounted and the start-up work is done.
start() {
    local args=() letter
    rm -rf "$work/run"; mkdir -p "$work/run/state" "$work/run/slots"
    export KESTREL_STATE_DIR=$work/run/state KESTREL_MAILSLOT_DIR=$work/run/slots
    unset KESTREL_TIME_DIVISOR
    for letter in "$@"; do mkdir -p "$work/run/$letter"; args+=(--drive "$letter=$work/run/$letter"); done
    "$service" "${args[@]}" --volume-size "$size" >"$work/run/out" 2>"$work/run/err" &
    pid=$!
    for _ in $(seq 1 30); do
        "$panel" --timeout 10 drives >/dev/null 2>&1 && break
        kill -0 "$pid" 2>/dev/null || { cat "$work/run/err" >&2; exit 1; }
        sleep 0.5
    done
    for letter in "$@"; do "$panel" --timeout 30 watch "$letter" >/dev/null || echo "($letter: watch not confirmed)"; done
    sleep "${settle:-20}"
}
stop() { kill -TERM "$pid"; wait "$pid" || true; pid=; }

echo "machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), shared with other work"
for drives in 0 1 2; do
    letters=(D E); letters=("${letters[@]:0:$drives}")
    start "${letters[@]}"
    echo "memory: $drives watched drive(s) of $size: VmRSS $(rss "$pid") KiB, VmHWM $(hwm "$pid") KiB"
    stop
done

start D E
before=$(cputicks "$pid"); t0=$(date +%s.%N)
sleep "$idle"
after=$(cputicks "$pid"); t1=$(date +%s.%N)
awk -v b="$before" -v a="$after" -v t0="$t0" -v t1="$t1" -v hz="$ticks" 'BEGIN {
    cpu = (a - b) / hz; wall = t1 - t0;
    printf "idle: 2 watched drives, no changes: %.2f s CPU over %.0f s real = %.4f %% of one core\n", cpu, wall, 100 * cpu / wall }'
echo "memory after the idle stretch: VmRSS $(rss "$pid") KiB"
stop
