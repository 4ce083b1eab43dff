#!/usr/bin/env bash
# The main job on this machine: the host service (KestrelService) watching a temporary drive D, a
# workload writing files side by side so that they fragment, and the statistics as the host front end
# (kestrel) reads them from the service over the mailslots, until every file is done. Ends by itself
# within three minutes. Time runs 10 times faster than on Windows (the 30-second rest of a changed file is
# 3 seconds here); --short runs a smaller workload 20 times faster, as the test command does.
#
#     bash scripts/demo.sh [--short] [--build-dir DIR]
#
# Without --build-dir it configures and builds what it needs in build/host; with it, it uses the programs
# already built there. The last line gives the files left, the fragments saved and the lifetime count.
# Exit status 0 when fragments were saved, no file is left, the drive's simulated volume is consistent
# and in step with the files, and every written byte is intact.
set -euo pipefail
cd "$(dirname "$0")/.."

short=0
build=
while [ $# -gt 0 ]; do
    case $1 in
        --short) short=1 ;;
        --build-dir) build=${2:?--build-dir needs a directory}; shift ;;
        *) echo "usage: bash scripts/demo.sh [--short] [--build-dir DIR]" >&2; exit 64 ;;
    esac
    shift
done
if [ -z "$build" ]; then
    build=build/host
    echo "== building KestrelService, kestrel and kestrel-workload in $build"
    [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target KestrelService kestrel kestrel-workload >/dev/null
fi
service=$build/service/app/KestrelService
panel=$build/panel/host/kestrel
workload=$build/tools/kestrel-workload
for program in "$service" "$panel" "$workload"; do
    [ -x "$program" ] || { echo "missing $program (build it first)" >&2; exit 1; }
done

if [ $short = 1 ]; then
    divisor=20 budget=75 waves=(a b) files=6 rounds=12 chunk=8192 pause=20
else
    divisor=10 budget=170 waves=(logs data media) files=12 rounds=24 chunk=16384 pause=60
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-demo.XXXXXX")
drive=$work/drive
mkdir -p "$drive" "$work/state" "$work/slots"
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/slots KESTREL_TIME_DIVISOR=$divisor
pid=
writer=
cleanup() {
    [ -n "$writer" ] && kill "$writer" 2>/dev/null || true
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
start=$SECONDS
elapsed() { echo $((SECONDS - start)); }

echo "== drive D is $drive (a simulated NTFS volume of 256 MiB beneath it); time runs $divisor times faster"
"$service" --drive "D=$drive" --volume-size 256M >"$work/service.out" 2>"$work/service.err" &
pid=$!
ready=0
for _ in $(seq 1 30); do
    if "$panel" --timeout 2 drives >/dev/null 2>&1; then ready=1; break; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
done
if [ $ready = 0 ]; then
    echo "the service did not answer:" >&2
    cat "$work/service.err" >&2
    exit 1
fi
"$panel" drives
"$panel" watch D >/dev/null

left=0 saved=0 lifetime=0
# One "kestrel stats D" through the protocol; sets left, saved and lifetime.
poll() {
    local out
    out=$("$panel" --timeout 10 stats D 2>/dev/null) || return 1
    left=$(sed -n 's/^Files Left to Process on D:\\: //p' <<<"$out")
    saved=$(sed -n 's/^Fragments Saved on D:\\: //p' <<<"$out")
    lifetime=$(sed -n 's/^Total Lifetime Fragments Saved: //p' <<<"$out")
    [ -n "$left" ] && [ -n "$saved" ] && [ -n "$lifetime" ]
}
show() {
    printf '[%3ds] %-28s files left %3s | fragments saved %5s | lifetime %5s\n' "$(elapsed)" "$1" "$left" \
        "$saved" "$lifetime"
}

echo "== ${#waves[@]} waves, each writing $files files side by side ($rounds rounds of $chunk bytes each)"
for wave in "${waves[@]}"; do
    "$workload" write "$drive" --prefix "$wave" --files "$files" --rounds "$rounds" --chunk "$chunk" \
        --pause "$pause" &
    writer=$!
    while kill -0 "$writer" 2>/dev/null; do
        poll && show "writing $wave*.bin"
        sleep 1
    done
    wait "$writer" || { echo "the workload failed" >&2; exit 1; }
    writer=
    # The files rest after their last change, then the service defragments them while the disk is idle.
    quiet=0
    while [ $(elapsed) -lt $budget ]; do
        sleep 1
        poll || continue
        show "defragmenting"
        if [ "$left" = 0 ] && [ "$saved" != 0 ]; then
            quiet=$((quiet + 1))
            [ $quiet -ge 2 ] && break
        else
            quiet=0
        fi
    done
done

status=0
intact=yes
for wave in "${waves[@]}"; do
    "$workload" verify "$drive" --prefix "$wave" --files "$files" --rounds "$rounds" --chunk "$chunk" ||
        intact=no
done
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
wait "$pid" || status=1
pid=
sed -n 's/^KestrelService: //p' "$work/service.err"
grep -q "consistent and in step" "$work/service.err" || { echo "FAILED: the simulated volume's check"; status=1; }
[ $intact = yes ] || { echo "FAILED: the written bytes changed"; status=1; }
[ "$saved" != 0 ] || { echo "FAILED: no fragment was saved"; status=1; }
[ "$left" = 0 ] || { echo "FAILED: files are left"; status=1; }
echo "Done in $(elapsed) s: files left $left, fragments saved $saved, lifetime fragments saved $lifetime"
exit $status
