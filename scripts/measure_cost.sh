#!/usr/bin/env bash
# The idle cost of the host service: its CPU time (utime + stime from /proc/PID/stat) over a stretch of
# real time with watched drives and no changes, each thread's own share of it (nanoseconds on a CPU and
# the number of times it ran, from /proc/PID/task/TID/schedstat, and the system call it waits in), and
# its resident memory (VmRSS) with 1 and 2 watched drives on large simulated volumes (512 Mi clusters of
# 4 KiB each = 2 TiB; one bitmap = 64 MiB).
#
#     bash scripts/measure_cost.sh [--build-dir DIR] [--idle-seconds N] [--volume-size SIZE]
#                                  [--writer KIB_PER_S] [--no-memory]
#
# --writer appends that many KiB a second (flushed to the disk each time) to a file of the measurement's
# own directory, beside and outside the watched ones: the disk under the drives is busy, the drives see
# no change, and the idle monitors sample a busy disk (every 5 s instead of every second).
# --no-memory skips the memory figures (three start-ups of about half a minute each).
#
# Time is not scaled here: the idle service's own timers run at their real periods.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host idle=600 size=2T writer=0 memory=1
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --idle-seconds) idle=$2; shift ;;
        --volume-size) size=$2; shift ;;
        --writer) writer=$2; shift ;;
        --no-memory) memory=0 ;;
        *) echo "usage: bash scripts/measure_cost.sh [--build-dir DIR] [--idle-seconds N] [--volume-size SIZE] [--writer KIB_PER_S] [--no-memory]" >&2; exit 64 ;;
    esac
    shift
done
service=$build/service/app/KestrelService
panel=$build/panel/host/kestrel
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-cost.XXXXXX")
pid= writerpid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    [ -n "$writerpid" ] && kill "$writerpid" 2>/dev/null
    rm -rf "$work"
}
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

# Per thread: "TID ns-on-cpu times-run syscall-number" (the call it is blocked in, or "running").
threads() {
    local task
    for task in /proc/"$1"/task/*; do
        [ -r "$task/schedstat" ] || continue
        echo "${task##*/} $(awk '{print $1, $3}' "$task/schedstat") $(awk '{print $1}' "$task/syscall" 2>/dev/null || echo '?')"
    done
}
callname() {
    case $1 in
        0) echo read ;; 7) echo poll ;; 23) echo select ;; 35) echo nanosleep ;; 45) echo recvfrom ;;
        47) echo recvmsg ;; 61) echo wait4 ;; 202) echo futex ;; 230) echo clock_nanosleep ;; 232) echo epoll_wait ;;
        271) echo ppoll ;; 281) echo epoll_pwait ;; *) echo "call $1" ;;
    esac
}
# Appends 1 MiB blocks to a file outside the watched directories at the given KiB a second, each write
# flushed to the disk; the file starts again at 64 MiB.
start_writer() {
    local rate=$1
    (
        while :; do
            dd if=/dev/zero of="$work/load" bs=1024 count="$rate" oflag=append conv=notrunc,fsync status=none
            [ "$(stat -c %s "$work/load")" -gt $((64 << 20)) ] && : >"$work/load"
            sleep 1
        done
    ) &
    writerpid=$!
}

echo "machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), shared with other work"
[ "$memory" = 1 ] && for drives in 0 1 2; do
    letters=(D E); letters=("${letters[@]:0:$drives}")
    start "${letters[@]}"
    echo "memory: $drives watched drive(s) of $size: VmRSS $(rss "$pid") KiB, VmHWM $(hwm "$pid") KiB"
    stop
done

start D E
[ "$writer" != 0 ] && start_writer "$writer"
load0=$(awk '{print $1}' /proc/loadavg)
before=$(cputicks "$pid"); t0=$(date +%s.%N)
threads "$pid" >"$work/threads.before"
sleep "$idle"
threads "$pid" >"$work/threads.after"
after=$(cputicks "$pid"); t1=$(date +%s.%N)
load1=$(awk '{print $1}' /proc/loadavg)
if [ "$writer" != 0 ]; then kill "$writerpid" 2>/dev/null || true; wait "$writerpid" 2>/dev/null || true; writerpid=; fi
condition="no changes"
[ "$writer" != 0 ] && condition="no changes, another process writing $writer KiB/s to the same disk"
awk -v b="$before" -v a="$after" -v t0="$t0" -v t1="$t1" -v hz="$ticks" -v c="$condition" 'BEGIN {
    cpu = (a - b) / hz; wall = t1 - t0;
    printf "idle: 2 watched drives, %s: %.2f s CPU over %.0f s real = %.4f %% of one core\n", c, cpu, wall, 100 * cpu / wall }'
echo "machine load (1-minute average) at the start and the end: $load0, $load1"
total=0
while read -r tid ns runs call; do
    read -r _ ns0 runs0 _ < <(grep "^$tid " "$work/threads.before" || echo "$tid 0 0 ?")
    d=$((ns - ns0)); total=$((total + d))
    name=running; [ "$call" != running ] && name=$(callname "$call")
    awk -v tid="$tid" -v d="$d" -v r=$((runs - runs0)) -v t0="$t0" -v t1="$t1" -v w="$name" 'BEGIN {
        wall = t1 - t0;
        printf "  thread %-8s %9.3f ms CPU = %.5f %% of a core, ran %6d times (%.2f a second), waits in %s\n",
            tid, d / 1e6, 100 * d / 1e9 / wall, r, r / wall, w }'
done <"$work/threads.after"
awk -v d="$total" -v t0="$t0" -v t1="$t1" 'BEGIN {
    printf "  all threads: %.3f ms CPU = %.5f %% of a core (schedstat nanoseconds)\n", d / 1e6, 100 * d / 1e9 / (t1 - t0) }'
echo "memory after the idle stretch: VmRSS $(rss "$pid") KiB"
stop
