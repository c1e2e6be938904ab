#!/usr/bin/env bash
# Everything CI runs: installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test. The exit code is the test result.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_SANITIZE=ON > /dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
