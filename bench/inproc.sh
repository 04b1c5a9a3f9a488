#!/bin/bash
# Builds bench/inproc (in-process decoding and packing beside libdeflate)
# and runs it on the benchmark corpus (bench/corpus.sh).
# Peer: apt-get install libdeflate-dev.
# Usage: bench/inproc.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-7}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target inproc >/dev/null
corpus=$(bench/corpus.sh "$build/bench-corpus")
"$build/bench/inproc" "$corpus" "$rounds"
