#!/usr/bin/env bash
# The host service on a large drive (docs/measurements.md, "150,000 files and 20,000 pending changes").
#
# Makes a tree of FOLDERS leaf folders of FILES small files each (three levels: tNN/mN/leafNNNN) in a
# temporary directory, then:
#   1. starts KestrelService on it as drive D and times the start until `kestrel stats D` answers, with the
#      service's CPU time and peak resident memory (VmHWM) at that moment;
#   2. measures its CPU time over IDLE seconds of nothing changing (with --watch-limit, the folders past
#      the limit are read again every 60 nominal seconds: run with --time-divisor to see several readings);
#   3. grows CHANGES files spread over the tree by 5,000 bytes each, as fast as one process can, and gives
#      the service's CPU time for them, its memory and the time of two `kestrel stats D` answers;
#   4. stops it while they rest (all pending), times the stop and counts the values saved in the store;
#   5. starts it again and times the start until the statistics show all of them pending, then stops it.
# Steps 3 to 5 need the 30-second rest of real time (a time divisor would let the files be done before
# the stop); with --time-divisor they are left out.
# It asserts nothing; it prints the figures. CPU times are utime + stime of /proc/PID/stat, in ticks.
#
# Usage: scripts/scale_probe.sh [--folders 1500] [--files 100] [--changes 20000] [--idle 30]
#                               [--time-divisor 1] [--watch-limit N] [--keep]
# --watch-limit runs the service in a user namespace of its own whose inotify watch limit is N
# (unshare -U -r; /proc/sys/user/max_inotify_watches), so that the folders past it go unwatched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folders=1500 files=100 changes=20000 idle=30 divisor=1 limit= keep=
while [ $# -gt 0 ]; do
    case $1 in
        --folders) folders=$2; shift ;;
        --files) files=$2; shift ;;
        --changes) changes=$2; shift ;;
        --idle) idle=$2; shift ;;
        --time-divisor) divisor=$2; shift ;;
        --watch-limit) limit=$2; shift ;;
        --keep) keep=1 ;;
        *) echo "unknown argument $1" >&2; exit 64 ;;
    esac
    shift
done
build=$root/build/host
if [ ! -x "$build/service/app/KestrelService" ] || [ ! -x "$build/panel/host/kestrel" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target KestrelService kestrel >/dev/null
fi
exe=$build/service/app/KestrelService panel=$build/panel/host/kestrel
work=$(mktemp -d /tmp/kestrel-scale-XXXXXX)
pid=
trap 'if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi; [ -n "$keep" ] || rm -rf "$work"' EXIT
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/mail
tree=$work/tree
python3 - "$tree" "$folders" "$files" <<'EOF'
import os, random, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(1)
for f in range(folders):
    d = os.path.join(root, "t%02d" % (f // 100), "m%d" % ((f // 10) % 10), "leaf%04d" % f)
    os.makedirs(d, exist_ok=True)
    for i in range(per):
        with open(os.path.join(d, "file%03d.dat" % i), "wb") as out:
            out.write(b"x" * random.randint(100, 6000))
EOF
echo "tree: $((folders * files)) files in $(find "$tree" -type d | wc -l) folders"
"$exe" -i >/dev/null

ms() { echo $(($(date +%s%N) / 1000000)); }
cpu() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
memory() { awk '/VmHWM|VmRSS/ { printf "%s %s kB  ", $1, $2 }' "/proc/$pid/status"; }
settle() {  # until the service's CPU time stops moving for a second
    local a b
    a=$(cpu)
    while sleep 1; b=$(cpu); [ "$b" != "$a" ]; do a=$b; done
}
pending() { "$panel" stats D 2>/dev/null | sed -n 's/^Files Left to Process on D:\\: //p'; }
start() {
    local t0
    t0=$(ms)
    if [ -n "$limit" ]; then
        unshare -U -r sh -c 'echo "$0" >/proc/sys/user/max_inotify_watches && shift && exec "$@"' \
            "$limit" x "$exe" --drive "D=$tree" --time-divisor "$divisor" >>"$work/out" 2>>"$work/err" &
    else
        "$exe" --drive "D=$tree" --time-divisor "$divisor" >>"$work/out" 2>>"$work/err" &
    fi
    pid=$!
    until "$panel" stats D >/dev/null 2>&1; do
        kill -0 "$pid" 2>/dev/null || { cat "$work/err" >&2; exit 1; }
        sleep 0.1
    done
    echo "start until stats answers: $(($(ms) - t0)) ms; CPU $(cpu) ticks; $(memory)"
}
stop() {
    local t0 status=0
    t0=$(ms)
    kill -TERM "$pid"
    wait "$pid" || status=$?
    pid=
    echo "stop: $(($(ms) - t0)) ms, exit status $status"
}

start
sleep 2
settle
c0=$(cpu)
sleep "$idle"
echo "idle: $(($(cpu) - c0)) ticks of CPU over $idle s (time divisor $divisor)"
if [ "$divisor" != 1 ]; then
    stop
    exit 0
fi

c0=$(cpu) t0=$(ms)
python3 - "$tree" "$changes" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
paths = sorted(os.path.join(d, f) for d, _, names in os.walk(root) for f in names)
for path in paths[::max(1, len(paths) // count)][:count]:
    with open(path, "ab") as out:
        out.write(b"y" * 5000)
EOF
echo "grew $changes files in $(($(ms) - t0)) ms"
settle
echo "the changes took $(($(cpu) - c0)) ticks of the service's CPU; $(memory)"
for _ in 1 2; do
    t0=$(ms)
    left=$(pending)
    echo "stats answered in $(($(ms) - t0)) ms: $left files left"
done
stop
echo "values in the store after the stop: $(grep -c '^value' "$work/state/registry.dat") (the queue and a few settings)"
start
t0=$(ms)
for _ in $(seq 120); do
    [ "$(pending)" = "$changes" ] && break
    sleep 0.5
done
echo "after the restart: $(pending) files left ($(($(ms) - t0)) ms after the first answer); $(memory)"
stop
tail -n 2 "$work/err"
