#!/usr/bin/env bash
# Everything CI runs: installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test, then checks that the tests left nothing behind.
# The exit code is the test result. JOBS=N sets the parallel build jobs and tests (default: the
# number of processors).
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)

jobs=${JOBS:-$(nproc)}
if ! [[ "$jobs" =~ ^[1-9][0-9]{0,3}$ ]]; then
    echo "test.sh: JOBS takes a positive whole number, not '$jobs'" >&2
    exit 2
fi
./scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_SANITIZE=ON > /dev/null
cmake --build "$build" -j"$jobs"
# What run.sh runs, built before the tests start: the run.sh tests use it, and no test's time
# limit pays for it (their CTest fixture, RunSh.Build, then finds it made).
JOBS=$jobs ./run.sh --build-only

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# tools/mksandbox writes every sandbox of this run into the ledger, for the leak check below.
ledger=$(mktemp -d /tmp/doorphone-ledger-XXXXXX)
trap 'rm -rf "$ledger"' EXIT
export DOORPHONE_LEDGER=$ledger
set +e
(cd "$build" && ctest --output-on-failure -j"$jobs" "$@")
rc=$?
set -e

# Leak check: none of this run's sandboxes may have left a message queue keyed to it, a process
# running on it or its folder (other programs' queues and processes are not looked at).
roots=()
if [ -f "$ledger/sandboxes" ]; then
    mapfile -t roots < <(sort -u "$ledger/sandboxes")
fi
if [ ${#roots[@]} -gt 0 ] && ! "$here/tools/boardclean" --check "${roots[@]}"; then
    echo "test.sh: leak check failed: the tests above left what is listed" >&2
    exit 1
fi
echo "test.sh: leak check: ${#roots[@]} sandboxes, no message queue, process or folder left"
exit $rc
