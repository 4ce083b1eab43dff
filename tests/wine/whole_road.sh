#!/usr/bin/env bash
# The whole road under Wine. The test build of the service (KestrelServiceSimTest: the real service whose
# file-system control for one drive is a simulated NTFS volume laid beneath that drive's directory) is
# installed into Wine's service manager and started there. A Windows program writes files side by side on
# the drive through Wine; the service sees them with the real ReadDirectoryChangesW, defragments them in
# the simulated layout, and a client reads "fragments saved" > 0 from its "GetData" reply over real
# mailslots. Time runs 20 times faster in the service (its option --time-divisor).
# Usage: whole_road.sh <KestrelServiceSimTest.exe> <request_tool.exe> <kestrel_workload.exe>
set -uo pipefail
name=Kestrel_Defragmentation
. "$(dirname "$0")/../../scripts/wine-env"

work=$(mktemp -d)
mkdir "$work/drive"
cp "$1" "$2" "$3" "$work/"
sim="$work/$(basename "$1")" tool="$work/$(basename "$2")" writer="$work/$(basename "$3")"
# A drive letter of its own for the test, backed by the directory.
letter=
for l in k l m n o p q r s t; do
    if [ ! -e "$WINEPREFIX/dosdevices/$l:" ]; then letter=$l; break; fi
done
[ -n "$letter" ] || { echo "FAIL: no free drive letter in the prefix"; exit 1; }
L=${letter^^}
ln -s "$work/drive" "$WINEPREFIX/dosdevices/$letter:"

run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
cleanup() {
    run net stop "$name" >/dev/null
    run "$sim" -u >/dev/null
    rm -f "$WINEPREFIX/dosdevices/$letter:"
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
# The service's answers to requests; "@" in a request becomes the reply mailslot, a new one each time
# (a finished client's mailslot may linger a moment in Wine).
asked=0
ask() {  # ask <count> <request...>
    local count=$1
    shift
    asked=$((asked + 1))
    run "$tool" "kestrelroad$asked" 5000 "$count" "$@"
}

run "$sim" -i | grep -q installed || fail "the test service did not install"
# The service manager starts the program bare: its options lie beside it.
printf '%s\n' "--sim-drive $L=$L:\\ --time-divisor 20" >"$sim.options"
# What an earlier run saved (its watched drives) goes: the service starts as on a fresh system.
run reg delete 'HKLM\System\CurrentControlSet\Services\Kestrel_Defragmentation\Parameters' /f >/dev/null
run net start "$name" >/dev/null
for _ in $(seq 40); do
    answer=$(ask 1 'GetWatchingDrives@')
    grep -q '^reply: 21' <<<"$answer" && break
    sleep 0.5
done
# A first run watches every drive it has, here exactly the simulated one; else it is asked to.
grep -qx "reply: 21, $L:\\\\" <<<"$answer" || ask 0 "$L WATCH@" >/dev/null
for _ in $(seq 20); do
    answer=$(ask 1 'GetWatchingDrives@')
    grep -qx "reply: 21, $L:\\\\" <<<"$answer" && break
    sleep 0.5
done
grep -qx "reply: 21, $L:\\\\" <<<"$answer" || fail "drive $L is not the one watched: $answer"

# Four files written side by side, a pause after each round so the layout sees them grow together.
run "$writer" write "$L:\\" --prefix road --files 4 --rounds 12 --chunk 8192 --pause 100 ||
    fail "the writer failed"
saved=0
for _ in $(seq 60); do
    sleep 1
    reply=$(ask 1 "$L:\\GetData@" | sed -n 's/^reply: 22, //p' | tail -1)
    [ -n "$reply" ] || continue
    saved=$(cut -d';' -f4 <<<"$reply")
    left=$(cut -d';' -f1 <<<"$reply")
    [ "${saved:-0}" -gt 0 ] && [ "$left" = 0 ] && break
done
[ "${saved:-0}" -gt 0 ] || fail "no fragments saved (last statistics: ${reply:-none})"
run "$writer" verify "$L:\\" --prefix road --files 4 --rounds 12 --chunk 8192 || fail "written bytes changed"
echo "PASS: fragments saved $saved on $L: under Wine (statistics $reply)"
