#!/usr/bin/env bash
# The service, a writer and the one-shot client as separate processes on a directory-backed drive E. The
# writer fragments eight files by writing them side by side; while they rest in the service's queue one
# is deleted, one renamed, one cut short and one cut to nothing; one more is deleted while the service is
# defragmenting. Afterwards: fragments were saved, no file is left, the service ended cleanly, its check
# of the simulated volume found it consistent (every file's content tags intact) and in step with the
# files (no stale clusters), and every byte the files still have is the one written.
set -euo pipefail
service=$1 panel=$2 workload=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-e2e.XXXXXX")
drive=$work/drive
mkdir -p "$drive" "$work/state" "$work/slots"
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/slots KESTREL_TIME_DIVISOR=20
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    echo "--- service output"; tail -20 "$work/service.out" || true
    echo "--- service errors"; tail -20 "$work/service.err" || true
    exit 1
}
stat_of() {  # stat_of "<line prefix>" from the last statistics
    sed -n "s/^$1: //p" <<<"$stats"
}

# A file there before the service starts is laid out as found.
"$workload" write "$drive" --prefix old --files 1 --rounds 4 --chunk 4096
"$service" --drive "E=$drive" --volume-size 64M --cluster-size 4096 >"$work/service.out" \
    2>"$work/service.err" &
pid=$!
for _ in $(seq 1 40); do
    "$panel" --timeout 2 drives >"$work/drives" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || fail "the service ended at start"
    sleep 0.25
done
grep -qx 'Available Drives: E:\\\|Watching Drives: E:\\' "$work/drives" || fail "drive E is not listed: $(cat "$work/drives")"
grep -q '[CD]:' "$work/drives" && fail "letters other than E are listed"
"$panel" watch E >/dev/null || fail "watch E"

# A pause after each round lets the layout see the files grow side by side (it follows their sizes as
# change notification reports them; a burst that ends before the events are read is one allocation).
"$workload" write "$drive" --prefix q --files 8 --rounds 10 --chunk 8192 --pause 30
# The files now rest for 1.5 s (30 s scaled down): change four of them meanwhile.
rm "$drive/q00.bin"
mv "$drive/q01.bin" "$drive/q01-renamed.bin"
truncate -s 5000 "$drive/q02.bin"
truncate -s 0 "$drive/q03.bin"

deleted=0
for _ in $(seq 1 120); do
    sleep 0.5
    stats=$("$panel" --timeout 10 stats E) || continue
    saved=$(stat_of 'Fragments Saved on E:\\')
    left=$(stat_of 'Files Left to Process on E:\\')
    # Once the service has saved fragments of one file, another one goes while the rest may be in work.
    if [ $deleted = 0 ] && [ "$saved" != 0 ]; then
        rm -f "$drive/q07.bin"
        deleted=1
    fi
    [ "$left" = 0 ] && [ "$saved" != 0 ] && [ $deleted = 1 ] && break
done
[ "${saved:-0}" -gt 0 ] || fail "no fragments saved"
[ "$left" = 0 ] || fail "$left files left"
lifetime=$(stat_of 'Total Lifetime Fragments Saved')
[ "$lifetime" -ge "$saved" ] || fail "lifetime count $lifetime below $saved"

kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the service did not stop"
code=0
wait "$pid" || code=$?
pid=
[ $code = 0 ] || fail "the service ended with status $code"
grep -q '^KestrelService: drive E: .* consistent and in step with the directory$' "$work/service.err" ||
    fail "the simulated volume's check"
mv "$drive/q01-renamed.bin" "$drive/q01.bin"
"$workload" verify "$drive" --prefix q --files 8 --rounds 10 --chunk 8192 --allow-changed ||
    fail "written bytes changed"
"$workload" verify "$drive" --prefix old --files 1 --rounds 4 --chunk 4096 || fail "the old file changed"
echo "PASS: fragments saved $saved, files left $left, lifetime $lifetime; $(sed -n 's/^KestrelService: //p' "$work/service.err")"
