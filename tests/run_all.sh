#!/bin/bash
# Builds and runs the whole test suite: the sanitizer build first (the
# suite under AddressSanitizer and UndefinedBehaviorSanitizer), then a
# bounded fuzz run of the decoder, then the release build (with valgrind's
# memcheck), whose ctest summary closes the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
      -DCMAKE_CXX_COMPILER=clang++
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

fuzz_log=$(mktemp)
if ! fuzz/run.sh "${FUZZ_SECONDS:-60}" > "$fuzz_log" 2>&1; then
    tail -n 60 "$fuzz_log"
    echo "fuzzing found a fault"
    exit 1
fi
grep -E "DONE|stat::number_of_executed_units|stat::peak_rss_mb" "$fuzz_log"
rm -f "$fuzz_log"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
