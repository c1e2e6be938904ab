#!/usr/bin/env bash
# The libFuzzer targets (tests/fuzz/fuzz_*.cpp), built with clang, ASan and UBSan in build-fuzz/
# (or $FUZZ_BUILD_DIR). Installs clang and its runtime when missing.
#   scripts/fuzz.sh             build them
#   scripts/fuzz.sh SECONDS     build, then run every target for SECONDS at once, each from its
#                               seed corpus (tests/fuzz/corpus/<name>/); new inputs and the logs
#                               go to the build folder, crashes stop the run with exit code 1
set -euo pipefail
cd "$(dirname "$0")/.."

DOORPHONE_FUZZ=1 ./scripts/deps.sh

build=${FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_FUZZ=ON \
    -DDOORPHONE_SANITIZE=ON -DDOORPHONE_TESTS=OFF -DDOORPHONE_BENCH=OFF > /dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz

[ $# -ge 1 ] || exit 0
seconds=$1
pids=()
names=()
for exe in "$build"/tests/fuzz/fuzz_*; do
    name=$(basename "$exe")
    name=${name#fuzz_}
    mkdir -p "$build/fuzz-out/$name"
    "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/fuzz-out/$name-" \
        "$build/fuzz-out/$name" "tests/fuzz/corpus/$name" > "$build/fuzz-out/$name.log" 2>&1 &
    pids+=($!)
    names+=("$name")
done
status=0
for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
        echo "${names[$i]}: $(grep -E 'stat::number_of_executed_units' "$build/fuzz-out/${names[$i]}.log" | awk '{print $2}') executions, no crash"
    else
        echo "${names[$i]}: FAILED, see $build/fuzz-out/${names[$i]}.log"
        status=1
    fi
done
exit $status
