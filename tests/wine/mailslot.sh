#!/usr/bin/env bash
# Mailslots between separate Windows processes under Wine, with the real Windows implementation:
# a reader and separate writers exchange messages in order (malformed ones included), a second process
# cannot create a name that another one holds, and the command slot is created with its access rules.
# Usage: mailslot.sh PATH/TO/mailslot_tool.exe
set -u
tool="$1"
. "$(dirname "$0")/../../scripts/wine-env"
setsid wineserver -p 60 </dev/null >/dev/null 2>&1 || true

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tag="KestrelMailWine_$$_$RANDOM"
slot() { printf '\\\\.\\mailslot\\%s_%s' "$tag" "$1"; }
tool() { timeout 60 wine "$tool" "$@" </dev/null; }
failures=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
wait_for() {  # wait_for FILE TEXT: until the line appears (30 s at most)
    for _ in $(seq 150); do
        grep -qx "$2" "$1" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}
same() { diff -u "$1" "$2" >&2; }

# 1. A reader and two separate writer processes; messages arrive in order, malformed ones harmlessly.
name=$(slot order)
tool read "$name" 6 30000 >"$work/reader.out" &
reader=$!
check "reader ready" wait_for "$work/reader.out" ready
tool write "$name" "first message" "second" >"$work/writer1.out"
check "first writer" test $? -eq 0
# No bytes; 'A',0,'B' (odd length); 'C',0,'D',0 (no terminator); U+1F600 as a surrogate pair; then text.
tool write-raw "$name" - 410042 43004400 3dd800de00 >"$work/writer2.out"
check "raw writer" test $? -eq 0
tool write "$name" "last" >"$work/writer3.out"
wait $reader
check "reader got every message" test $? -eq 0
printf 'message: %s\n' "first message" second AB CD $'\xf0\x9f\x98\x80' last >"$work/expected"
grep '^message: ' "$work/reader.out" >"$work/received"
check "messages in order and decoded" same "$work/expected" "$work/received"
check "reader's creation line" grep -qxF "trace: [VANTOR] Mail Slot $name (CreateMailslot) created successfully" \
    "$work/reader.out"
check "writer's open line" grep -qxF "trace: [VANTOR] Mail Slot $name (CreateFile) created successfully" \
    "$work/writer1.out"

# 2. A name held by another process cannot be created; it is free once that process has ended.
name=$(slot held)
tool hold "$name" 4 >"$work/holder.out" &
holder=$!
check "holder ready" wait_for "$work/holder.out" held
tool create "$name" >"$work/second.out"
check "second process refused" test $? -eq 1
check "refusal line" grep -qxF "trace: [VANTOR] CreateMailslot (mailslot) Error was 183" "$work/second.out"
check "refusal text line" grep -qE "^trace: \[VANTOR\]Mailslotname .*_held - .+ - error code=183$" "$work/second.out"
wait $holder
tool create "$name" >"$work/third.out"
check "name free after the holder ended" test $? -eq 0

# 3. The command slot's security descriptor converts and the slot carries it: its access list, read back
# from the system, is the command slot's (the rights of each entry in the order the system writes them),
# while a slot created without the descriptor has none.
name=$(slot secure)
tool create-secure "$name" >"$work/secure.out"
check "secure create" test $? -eq 0
check "no descriptor error" bash -c '! grep -q "error code= " "$1"' _ "$work/secure.out"
check "secure creation line" grep -qxF "trace: [VANTOR] Mail Slot $name (CreateMailslot) created successfully" \
    "$work/secure.out"
check "secure slot's access list" grep -qxF \
    "dacl: D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GXGWGR;;;AU)(A;OICI;GA;;;BA)" "$work/secure.out"
tool create "$(slot plain)" >"$work/plain.out"
check "plain create" test $? -eq 0
check "plain slot has no access list" grep -qxF "dacl: none" "$work/plain.out"

# 4. A writer for a slot nobody reads, and a refused name.
tool write "$(slot nobody)" text >"$work/nobody.out"
check "open of a missing slot fails" test $? -eq 2
check "missing slot line" grep -qxF "trace: [VANTOR]CreateFile $(slot nobody) (mailslot) Error was 2" "$work/nobody.out"
tool write 'C:\windows\temp\kestrel-mail.txt' text >"$work/path.out"
check "file path refused as a writer name" test $? -eq 2
check "no file created" test ! -e "$WINEPREFIX/drive_c/windows/temp/kestrel-mail.txt"

if [ $failures -ne 0 ]; then
    echo "== $failures failure(s); outputs:"
    for f in "$work"/*.out; do echo "-- $f"; cat "$f"; done
    exit 1
fi
echo "all mailslot checks passed"
