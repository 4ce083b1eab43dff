#!/usr/bin/env bash
# How long a panel waits for the answer to "GetData" from the host service when the drive's exclusion list
# is as long as it may be (10 entries of 100 characters), and when the store was written before that bound
# (3,000 entries of 900 characters, as a local process could once leave it). The service runs with a time
# divisor of 50, so its command thread looks for a request every 20 ms.
#
# Each round runs request_tool once: it writes "DGetData" and waits for the three replies (22, 24, 25);
# the time is the whole run of that process, which includes starting it and its own 20 ms polls of the
# reply mailslot, so it is an upper bound of the service's answer time. Prints the rounds' minimum,
# median and maximum in milliseconds; it asserts nothing.
#
# Usage: scripts/measure_getdata.sh [ROUNDS]   (builds KestrelService and request_tool in build/host)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-20}
build=$root/build/host
if [ ! -x "$build/service/app/KestrelService" ] || [ ! -x "$build/tests/core/request_tool" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target KestrelService request_tool >/dev/null
fi
exe=$build/service/app/KestrelService
client=$build/tests/core/request_tool

work=$(mktemp -d /tmp/kestrel-getdata-XXXXXX)
pid=
trap 'if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
export KESTREL_STATE_DIR=$work/state KESTREL_MAILSLOT_DIR=$work/mail
mkdir -p "$work/d"
"$exe" -i >/dev/null

start_service() {
    "$exe" --drive "D=$work/d" --volume-size 64M --time-divisor 50 >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        "$client" Probe 200 1 'GetWatchingDrives@' >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "the service did not answer" >&2
    exit 1
}

stop_service() {
    kill -TERM "$pid"
    wait "$pid" || true
    pid=
}

# Times `rounds` GetData requests for D, each answered with $1 replies (3, or 2 without a code-24 line);
# prints the minimum, median and maximum in milliseconds and the entries of the last code-24 reply.
measure() {
    local times=() entries=0 begin end reply
    for _ in $(seq "$rounds"); do
        begin=$(date +%s%N)
        reply=$("$client" Bench 5000 "$1" 'DGetData@')
        end=$(date +%s%N)
        times+=($(((end - begin) / 1000000)))
        entries=$({ grep '^reply: 24, ' <<<"$reply" || true; } | tr -cd ';' | wc -c)
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v entries="$entries" '
        { t[NR] = $1 }
        END { printf "min %d ms, median %d ms, max %d ms (%d rounds; %d exclusions listed)\n",
                     t[1], t[int((NR + 1) / 2)], t[NR], NR, entries }'
}

# 1. The bound: ten exclusions of 100 characters, added through the command channel.
start_service
requests=()
for n in $(seq 0 9); do
    path="D:\\$n\\"
    while [ ${#path} -lt 100 ]; do path+=X; done
    requests+=("D:\\$path ADDEXCLUDE@")
done
"$client" Bench 0 0 "${requests[@]}" >/dev/null || true
sleep 1
echo -n "10 exclusions of 100 characters: "
measure 3
stop_service

# 2. A store written before the bound: 3,000 exclusions of 900 characters for drive D. Only the first
# ten can be in force, and none of these is (each is too long), so GetData has no code-24 line; the
# values stay stored.
python3 - "$KESTREL_STATE_DIR/registry.dat" <<'EOF'
import sys
path = sys.argv[1]
text = open(path).read()
assert text.endswith("end\n")
lines = ["key HKLM =SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation\\Parameters\\D"]
for n in range(3000):
    value = ("D:\\%d\\" % n).ljust(900, "Y")
    data = (value + "\0").encode("utf-16-le").hex()
    lines.append("value =%d 1 x%s" % (n, data))
open(path, "w").write(text[: -len("end\n")] + "\n".join(lines) + "\nend\n")
EOF
echo -n "store of $(du -h "$KESTREL_STATE_DIR/registry.dat" | cut -f1) with 3,000 exclusions of 900 characters: "
start_service
measure 2
stop_service
