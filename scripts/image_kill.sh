#!/usr/bin/env bash
# The long form of the image kill test: kestrel-image defrag is killed at seeded random instants while it
# moves files with attribute lists, compressed, sparse and named-stream files (with --hostile also a hard
# link, on a volume about 95 % full), with SIGKILL or, taking turns, SIGINT and SIGTERM, on clusters of
# 4 KiB and 512 bytes (and 64 KiB when asked). Right after each kill every stream must read back byte for
# byte (ntfscat; with --fuse also through a read-only ntfs-3g mount), no referenced cluster may be free
# (ntfsresize -i -f, kestrel-image check), and check must tell to run kestrel-image again whenever a
# record was left; a check or analyze killed at a random instant must leave the image byte for byte as it
# was. Every second repairing run is itself killed at a random instant of its first half;
# after the last run the volume must be consistent (ntfsresize, check, ntfsfix -n), clean and without
# records. The test suite runs 3 kills per cluster size; this runs TRIALS per cluster size.
#
#     bash scripts/image_kill.sh [--build-dir DIR] [--trials N] [--seed N] [--clusters 65536,4096,512]
#                                [--signals KILL,INT,TERM] [--hostile] [--fuse]
#
# Prints the test's own summary per cluster size and signal: kills, kills that landed inside a move (a
# move record was left; of them committed), what a look right after the kill found, the repairing runs
# killed and what the later runs finished.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host trials=150 seed=$(date +%s) clusters=4096,512 signals=KILL hostile=0 fuse=0
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --trials) trials=$2; shift ;;
        --seed) seed=$2; shift ;;
        --clusters) clusters=$2; shift ;;
        --signals) signals=$2; shift ;;
        --hostile) hostile=1 ;;
        --fuse) fuse=1 ;;
        *) echo "usage: bash scripts/image_kill.sh [--build-dir DIR] [--trials N] [--seed N] [--clusters LIST]" \
                "[--signals KILL,INT,TERM] [--hostile] [--fuse]" >&2; exit 64 ;;
    esac
    shift
done
tests=$build/tests/ntfsimage/ntfsimage_tests
[ -x "$tests" ] || { echo "build $tests first (cmake --build $build --target ntfsimage_tests)" >&2; exit 1; }
echo "seed $seed, $trials kills per cluster size ($clusters), signals $signals, hostile $hostile, fuse $fuse"
KESTREL_KILL_TRIALS=$trials KESTREL_KILL_SEED=$seed KESTREL_KILL_CLUSTERS=$clusters KESTREL_KILL_SIGNALS=$signals \
    KESTREL_KILL_HOSTILE=$hostile KESTREL_KILL_FUSE=$fuse \
    "$tests" --gtest_filter='ImageTest.KillsAtRandomInstantsLoseNothing' \
    | grep -Ev '^(image written through|Google Test trace|\[ RUN|\[==========\] Running|\[----------\] (Global|1 test from))' \
    | grep -v '^$'
