#!/usr/bin/env bash
# Malformed requests against the running host service (KestrelService over a directory drive):
#
#     bash malformed_requests.sh SERVICE KESTREL MALFORMED_REQUESTS [COUNT] [DIVISOR]
#
# Sends COUNT (default 150) malformed requests, twice over, with time DIVISOR times faster (default 200:
# the channel's one request a second becomes one every 5 ms). Afterwards the service must still answer,
# nothing may have appeared or gone in its state directory (but the registry store's files), the drive's
# directory or the mailslot directory, and its resident memory may not have grown by more than 1 MiB over
# the second pass. Prints the figures.
set -euo pipefail
service=$(realpath "$1") panel=$(realpath "$2") sender=$(realpath "$3") count=${4:-150} divisor=${5:-200}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-malformed.XXXXXX")
pid=
cleanup() { [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/state" "$work/slots" "$work/drive"
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/slots KESTREL_TIME_DIVISOR=$divisor
echo "some content" >"$work/drive/file.txt"
cd "$work"
"$service" --drive "D=$work/drive" --volume-size 64M >service.out 2>service.err &
pid=$!
# The front end waits real seconds for the answer.
answers() {
    local out
    out=$(KESTREL_TIME_DIVISOR=1 "$panel" --timeout 10 drives 2>/dev/null) && grep -q '^Watching Drives: ' <<<"$out"
}
watched() { KESTREL_TIME_DIVISOR=1 "$panel" --timeout 10 drives 2>/dev/null | grep -c '^Watching Drives: D:' || true; }
for _ in $(seq 1 40); do [ "$(watched)" = 1 ] && break; kill -0 "$pid" || { cat service.err; exit 1; }; sleep 0.25; done
answers || { echo "FAILED: the service did not answer at the start"; exit 1; }
sleep 1
# Everything on disk the service could reach: file names and sizes (the registry store's files may
# change their content and size, so only their names count); the whole tree below / is not walked.
listing() {
    { find "$work/drive" "$work/slots" -printf '%p %s\n'
      find "$work/state" -printf '%p\n'
      find "${TMPDIR:-/tmp}" -maxdepth 1 -newer "$work/marker" -name '*kestrel-malformed' -printf '%p\n'
      find /etc -maxdepth 1 -newer "$work/marker" -printf '%p\n' 2>/dev/null
    } | grep -v -e "^$work/marker" -e "^$work\$" -e '/kestrelcli[0-9]*\.lock' | sort
}
touch "$work/marker"
listing >before.txt
rss() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
rss_initial=$(rss)
pace=$(( (1000 + divisor - 1) / divisor ))
start=$SECONDS
# The requests go twice, the same ones (same seed): the first pass may leave state the service keeps
# on purpose (an exclusion is stored for any drive letter, a drive watched or not) and warms its heap; the
# second pass adds no state (a stored exclusion is not stored twice), so memory that grows over it is lost.
"$sender" "$count" 18 "$pace"
answers || true
rss_before=$(rss)
"$sender" "$count" 18 "$pace"
status=0
# The channel's backlog drains at the service's pace.
answered=0
for _ in $(seq 1 6); do
    kill -0 "$pid" || { echo "FAILED: the service ended"; cat service.err; exit 1; }
    if answers; then answered=1; break; fi
done
echo "answered again after $((SECONDS - start)) s"
[ $answered = 1 ] || { echo "FAILED: the service does not answer after the requests"; status=1; }
rss_after=$(rss)
listing >after.txt
echo "sent $count twice in $((SECONDS - start)) s; VmRSS before $rss_initial KiB, after the first pass $rss_before KiB, after the second $rss_after KiB"
if ! diff before.txt after.txt; then echo "FAILED: files appeared, went or changed size"; status=1; fi
# A sanitizer build keeps freed memory in quarantine, so its resident size says nothing about leaks there
# (the build's leak check at exit does); KESTREL_MEMORY_CHECK=0 is set for such builds.
if [ "${KESTREL_MEMORY_CHECK:-1}" = 0 ]; then
    echo "resident memory not judged in this build"
elif [ "$rss_after" -gt $((rss_before + 1024)) ]; then
    echo "FAILED: resident memory grew"
    status=1
fi
kill -TERM "$pid"; wait "$pid" || { echo "FAILED: the service's exit status"; status=1; }; pid=
grep -q "consistent and in step" service.err || { echo "FAILED: the drive's check"; cat service.err; status=1; }
[ $status = 0 ] && echo "passed"
exit $status
