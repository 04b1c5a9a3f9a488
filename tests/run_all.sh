#!/bin/bash
# Builds and runs the whole test suite, with warnings as errors: the
# sanitizer build first (the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer), then the tests that run the packer's threads
# under ThreadSanitizer, then a bounded fuzz run of both fuzz targets, then
# the release build (with valgrind's memcheck and the packaging checks),
# whose ctest summary closes the run.
set -euo pipefail
cd "$(dirname "$0")/.."

tests/format_check.sh
cmake --workflow --preset sanitize
cmake --workflow --preset tsan

fuzz_log=$(mktemp)
if ! fuzz/run.sh "${FUZZ_SECONDS:-60}" > "$fuzz_log" 2>&1; then
    tail -n 60 "$fuzz_log"
    echo "fuzzing found a fault"
    exit 1
fi
grep -E "DONE|stat::number_of_executed_units|stat::peak_rss_mb" "$fuzz_log"
rm -f "$fuzz_log"

cmake --workflow --preset ci-release
