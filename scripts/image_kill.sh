#!/usr/bin/env bash
# The long form of the image kill test: kestrel-image defrag is killed (SIGKILL) at seeded random instants
# while it moves files with attribute lists, compressed, sparse and named-stream files, on 4 KiB and
# 512-byte clusters. After each kill every stream must read back byte for byte (ntfscat) and no referenced
# cluster may be free (ntfsresize -i -f); after the next run the volume must be consistent, clean and
# without records. The test suite runs 3 kills per cluster size; this runs TRIALS per cluster size.
#
#     bash scripts/image_kill.sh [--build-dir DIR] [--trials N] [--seed N]
#
# Prints the test's own summary: kills, kills that landed inside a move (a move record was left),
# moves the next run finished, volumes damaged or with leaked clusters right after the kill.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host trials=150 seed=$(date +%s)
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --trials) trials=$2; shift ;;
        --seed) seed=$2; shift ;;
        *) echo "usage: bash scripts/image_kill.sh [--build-dir DIR] [--trials N] [--seed N]" >&2; exit 64 ;;
    esac
    shift
done
tests=$build/tests/ntfsimage/ntfsimage_tests
[ -x "$tests" ] || { echo "build $tests first (cmake --build $build --target ntfsimage_tests)" >&2; exit 1; }
echo "seed $seed, $trials kills per cluster size"
KESTREL_KILL_TRIALS=$trials KESTREL_KILL_SEED=$seed "$tests" --gtest_filter='ImageTest.KillsAtRandomInstantsLoseNothing' \
    | grep -Ev '^(image written through|Google Test trace|\[ RUN|\[==========\] Running|\[----------\] (Global|1 test from))' \
    | grep -v '^$'
