#!/usr/bin/env bash
# The libFuzzer targets (tests/fuzz/fuzz_*.cpp), built with clang, ASan and UBSan in build-fuzz/
# (or $FUZZ_BUILD_DIR). Installs clang and its runtime when missing.
#   scripts/fuzz.sh                      build them
#   scripts/fuzz.sh SECONDS [NAME...]    build, then run every target (or the named ones: bus,
#                                        http, ...) for SECONDS each from its seed corpus
#                                        (tests/fuzz/corpus/<name>/, and its words in
#                                        tests/fuzz/<name>.dict where there is one), $FUZZ_JOBS at a time
#                                        (default 3); new inputs and the logs go to the build
#                                        folder, and each target's executions and coverage (cov:
#                                        edges, ft: features) are printed. A crash makes the exit
#                                        code 1; its input is in <build>/fuzz-out/<name>-crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."

DOORPHONE_FUZZ=1 ./scripts/deps.sh

build=${FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_FUZZ=ON \
    -DDOORPHONE_SANITIZE=ON -DDOORPHONE_TESTS=OFF -DDOORPHONE_BENCH=OFF > /dev/null
cmake --build "$build" -j"${FUZZ_JOBS:-3}" --target fuzz

[ $# -ge 1 ] || exit 0
seconds=$1
shift
jobs=${FUZZ_JOBS:-3}
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for exe in "$build"/tests/fuzz/fuzz_*; do
        name=$(basename "$exe")
        names+=("${name#fuzz_}")
    done
fi
for name in "${names[@]}"; do
    [ -x "$build/tests/fuzz/fuzz_$name" ] || { echo "no fuzz target $name" >&2; exit 2; }
done

out="$build/fuzz-out"
mkdir -p "$out"
run_one() {
    local name=$1
    mkdir -p "$out/$name"
    local dict=()
    [ ! -f "tests/fuzz/$name.dict" ] || dict=(-dict="tests/fuzz/$name.dict")
    "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$out/$name-" "$out/$name" "tests/fuzz/corpus/$name" > "$out/$name.log" 2>&1
}
report() {
    local name=$1 rc=$2 log="$out/$1.log"
    local execs cov
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
    cov=$(grep -E '^#[0-9]+' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+' | tail -1)
    if [ "$rc" -eq 0 ]; then
        echo "$name: ${execs:-?} executions, ${cov:-no coverage line}, no crash"
    else
        echo "$name: FAILED after ${execs:-?} executions, see $log"
    fi
}

status=0
declare -A pidName=()
# Waits for any one run to end and reports it.
reap_one() {
    local done rc
    set +e
    wait -n -p done "${!pidName[@]}"
    rc=$?
    set -e
    report "${pidName[$done]}" "$rc" || true
    [ "$rc" -eq 0 ] || status=1
    unset "pidName[$done]"
}
for name in "${names[@]}"; do
    while [ ${#pidName[@]} -ge "$jobs" ]; do
        reap_one
    done
    run_one "$name" &
    pidName[$!]=$name
done
while [ ${#pidName[@]} -gt 0 ]; do
    reap_one
done
exit $status
