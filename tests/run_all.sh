#!/bin/bash
# Builds and runs the whole test suite: the sanitizer build first (the
# suite under AddressSanitizer and UndefinedBehaviorSanitizer), then the
# release build, whose ctest summary closes the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
      -DCMAKE_CXX_COMPILER=clang++
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
