#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang (build/fuzz) and runs each for a bounded time.
#
#   bash scripts/fuzz.sh [seconds per target, default 20] [target ...]
#
# The test command runs every target for 20 s; a longer run by hand is e.g. `bash scripts/fuzz.sh 600`.
# Each target keeps its corpus in build/fuzz-corpus/<target> (seeded from fuzz/corpus/<target> when that
# exists), so that every run starts where the last one ended. A finding stops the script with the
# fuzzer's report and leaves the input that caused it in build/fuzz-findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(sim_requests_fuzz retrieval_answer_fuzz protocol_fuzz notify_batch_fuzz bitmap_answer_fuzz
             registry_values_fuzz command_request_fuzz)
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKESTREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]}"

mkdir -p build/fuzz-findings
for target in "${targets[@]}"; do
    corpus="build/fuzz-corpus/$target"
    mkdir -p "$corpus"
    seeds="fuzz/corpus/${target%_fuzz}"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$root/build/fuzz-findings/$target-")
    case $target in
        protocol_fuzz | command_request_fuzz) options+=(-dict=fuzz/protocol.dict) ;;
        registry_values_fuzz) options+=(-dict=fuzz/registry.dict) ;;
    esac
    log="build/fuzz-findings/$target.log"
    if ! "build/fuzz/fuzz/$target" "${options[@]}" "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "== $target: FINDING (input and log in build/fuzz-findings/)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "== $target: $runs runs in $seconds s, no finding"
done
