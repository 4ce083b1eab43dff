#!/usr/bin/env bash
# The settings store's registry layout under Wine: the Windows build writes it with the real registry
# calls, and `reg query` must show every key with exactly the value names, types and data expected;
# values written by `reg` are read back by the store the same way.
# Usage: settings_layout.sh <settings_tool.exe>
set -uo pipefail
tool=$1
. "$(dirname "$0")/../../scripts/wine-env"

service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kestrel_Defragmentation'
params="$service_key\\Parameters"

run() { timeout 120 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
fail() {
    echo "FAIL: $*"
    exit 1
}
# The value lines of one key ("name|type|data"), sorted.
values() { run reg query "$1" | sed -n 's/^    \(.*\)    \(REG_[A-Z_]*\)    \(.*\)$/\1|\2|\3/p' | sort; }
# The names of the key's subkeys, sorted.
subkeys() { run reg query "$1" | sed -n 's/^HKEY_LOCAL_MACHINE\\.*\\Parameters\\\(.*\)$/\1/p' | sort; }
expect_values() {  # expect_values KEY "name|type|data"...
    local key=$1 got want
    shift
    got=$(values "$key")
    want=$(printf '%s\n' "$@" | sort)
    [ "$got" = "$want" ] || fail "values of $key:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
}
expect_output() {  # expect_output "<lines>" ARGS...
    local want=$1 got
    shift
    got=$(run "$tool" "$@")
    [ "$got" = "$want" ] || fail "settings_tool $* printed:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
}
cleanup() { run reg delete "$service_key" /f >/dev/null; }

# The prefix is the tests' own; a service installed in it would own this key, so do not touch it then.
run reg query "$service_key" /v ImagePath | grep -q ImagePath && fail "a Kestrel_Defragmentation service is installed"
cleanup
trap cleanup EXIT

expect_output "written" write
expect_values "$params" "LifeTime|REG_DWORD|0x4d2"
[ "$(subkeys "$params")" = $'C\nFilesFor C\nWatchingDrives' ] || fail "subkeys of Parameters: $(subkeys "$params")"
expect_values "$params\\WatchingDrives" "3|REG_DWORD|0x1" "4|REG_DWORD|0x0"
expect_values "$params\\C" "Move|REG_DWORD|0x0" '0|REG_SZ|C:\TEMP\' '1|REG_SZ|\CACHE\'
expect_values "$params\\FilesFor C" '0|REG_SZ|C:\one.txt' '1|REG_SZ|C:\dir\two.txt' '2|REG_SZ|C:\three.txt'

# Read back, with a lifetime of the wrong type, an expanded string and a binary value added by reg.
run reg add "$params" /v LifeTime /t REG_SZ /d 55 /f >/dev/null
run reg add "$params\\C" /v 2 /t REG_EXPAND_SZ /d '\PAGEFILE' /f >/dev/null
run reg add "$params\\C" /v 3 /t REG_BINARY /d 5c004100000000 /f >/dev/null
run reg add "$params\\C" /v 4 /t REG_SZ /d '\HIDDEN' /f >/dev/null
expect_output "lifetime 0
watching C 1
move C 0
watching D 0
move D 1
watching E 1
move E 1
exclusion C:\\TEMP\\
exclusion \\CACHE\\
exclusion \\PAGEFILE
restored C:\\one.txt
restored C:\\dir\\two.txt
restored C:\\three.txt" read
expect_values "$params" "LifeTime|REG_DWORD|0x0"
run reg query "$params\\FilesFor C" | grep -q . && fail "the saved queue's key was not deleted"
# Reading "Move" creates the drive keys of D and E, as it opens or creates them.
[ "$(subkeys "$params")" = $'C\nD\nE\nWatchingDrives' ] || fail "subkeys after read: $(subkeys "$params")"

# Removing the first exclusion moves the rest down by one, the binary value ending the list.
expect_output "removed 1
left \\CACHE\\
left \\PAGEFILE" remove 'c:\temp\'
expect_values "$params\\C" "Move|REG_DWORD|0x0" '0|REG_SZ|\CACHE\' '1|REG_EXPAND_SZ|\PAGEFILE' \
    '3|REG_BINARY|5C004100000000' '4|REG_SZ|\HIDDEN'
echo "settings layout under Wine: all checks passed"
