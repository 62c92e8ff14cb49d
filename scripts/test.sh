#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine:
#   1. the tests, built with AddressSanitizer and UndefinedBehaviorSanitizer (test hooks on);
#   2. the libFuzzer targets, each run for a bounded time (clang);
#   3. the shipped configuration (release, no test hooks, benchmarks compiled) and its smoke test;
#   4. the logging tests once more under ThreadSanitizer (the engine is the one layer every thread
#      shares; only its tests are built this way, which keeps the step short).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# Parallel jobs of every build and ctest run: JOBS when set (JOBS=4 bash scripts/test.sh on a
# shared machine), else one per processor.
JOBS=${JOBS:-$(nproc)}
if ! [[ $JOBS =~ ^[1-9][0-9]*$ ]]; then
    echo "JOBS must be a positive whole number: $JOBS" >&2
    exit 2
fi

bash scripts/install-deps.sh

echo "== sanitizer build and tests"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNELL_SANITIZE=ON -DPLATFORM_TEST_HOOKS=ON >/dev/null
cmake --build build/asan -j "$JOBS"
# Dialog tests need an X display; xvfb-run gives each run its own.
xvfb-run -a -s '-screen 0 1280x800x24' \
  ctest --test-dir build/asan -j "$JOBS" --output-on-failure --label-exclude fuzz

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNELL_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$JOBS"
ctest --test-dir build/fuzz -j "$JOBS" --output-on-failure -L fuzz

echo "== shipped configuration"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELL_BUILD_TESTS=OFF -DVARNELL_BENCH=ON \
  -DPLATFORM_TEST_HOOKS=OFF >/dev/null
cmake --build build/release -j "$JOBS"
bash scripts/smoke.sh "$ROOT/build/release"

echo "== logging tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNELL_TSAN=ON >/dev/null
cmake --build build/tsan -j "$JOBS" --target zlog_tests zlog_diagnostics_child
ctest --test-dir build/tsan -j "$JOBS" --output-on-failure -L zlog

echo "== all tests passed"
