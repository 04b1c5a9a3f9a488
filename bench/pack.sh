#!/bin/bash
# Packs the benchmark corpus with lzh8pack and with gzip -9 and prints, per
# file and in all, the packed sizes, lzh8pack's size relative to gzip's, and
# the speed of each in MB/s of input (best of three runs). Every packed
# file is checked by unpacking it with ostrel.
# Usage: bench/pack.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ostrel lzh8pack >/dev/null
corpus=$(bench/corpus.sh "$build/bench-corpus")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

calc() { awk "BEGIN { print $1 }"; }

seconds() {  # best wall time of three runs of the command, in seconds
    local best=""
    for _ in 1 2 3; do
        local start end
        start=$(date +%s.%N)
        "$@"
        end=$(date +%s.%N)
        best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
    done
    echo "$best"
}

printf "%-18s %10s %10s %10s %7s %9s %9s\n" file bytes lzh8pack "gzip -9" ratio "pack MB/s" "gzip MB/s"
total=0 total_lz=0 total_gz=0 time_lz=0 time_gz=0
for file in "$corpus"/*; do
    name=$(basename "$file")
    size=$(stat -c %s "$file")
    t_lz=$(seconds "$build/lzh8pack" "$file" "$work/packed")
    t_gz=$(seconds sh -c "gzip -9c '$file' > '$work/packed.gz'")
    "$build/ostrel" "$work/packed" "$work/unpacked"
    cmp -s "$file" "$work/unpacked" || { echo "$name: round trip FAILED"; exit 1; }
    lz=$(stat -c %s "$work/packed")
    gz=$(stat -c %s "$work/packed.gz")
    printf "%-18s %10d %10d %10d %7.4f %9.2f %9.2f\n" "$name" "$size" "$lz" "$gz" \
        "$(calc "$lz / $gz")" "$(calc "$size / $t_lz / 1000000")" "$(calc "$size / $t_gz / 1000000")"
    total=$((total + size)); total_lz=$((total_lz + lz)); total_gz=$((total_gz + gz))
    time_lz=$(calc "$time_lz + $t_lz"); time_gz=$(calc "$time_gz + $t_gz")
done
printf "%-18s %10d %10d %10d %7.4f %9.2f %9.2f\n" total "$total" "$total_lz" "$total_gz" \
    "$(calc "$total_lz / $total_gz")" "$(calc "$total / $time_lz / 1000000")" \
    "$(calc "$total / $time_gz / 1000000")"
peak=$( { /usr/bin/time -f %M "$build/lzh8pack" "$corpus/cmake" "$work/packed"; } 2>&1 )
echo "lzh8pack peak memory on cmake ($(stat -c %s "$corpus/cmake") bytes): ${peak} KiB"
