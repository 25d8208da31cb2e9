#!/usr/bin/env bash
# Builds and runs every test twice: a plain optimised build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer (all but the sound targets, which
# judge sound, not memory, and take minutes unoptimised); then the concurrency tests
# under ThreadSanitizer, in a build without the measuring part (which shows that the
# plug-in and quorle-model build without its libraries).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORLE_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE sound

# ThreadSanitizer: only the concurrency tests, with just what they need built.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_TSAN=ON \
  -DQUORLE_MEASURE=OFF -DQUORLE_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target quorle_concurrency_tests quorle-model
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L concurrency

# A short run of every fuzz harness (clang and libFuzzer, tools/fuzz.sh); the inputs
# that once failed are replayed by the fuzz_regressions_* tests of the builds above.
bash tools/fuzz.sh "${QUORLE_FUZZ_SECONDS:-10}"
