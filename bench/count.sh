#!/bin/bash
# Instructions, which do not move with the machine's load: lzh8_decode
# beside libdeflate_deflate_decompress on the benchmark corpus (whole
# files, pieces of 64 KiB and of 4 KiB, each side packed at level 6),
# counted by callgrind around the decoding alone.
# Needs valgrind and libdeflate-dev. Usage: bench/count.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target inproc >/dev/null
corpus=$(bench/corpus.sh "$build/bench-corpus")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
sets="whole 64k 4k"
toggles=()
for set in $sets; do
    toggles+=("--toggle-collect=*count_lzh8_${set}*" "--toggle-collect=*count_deflate_${set}*")
done
valgrind --tool=callgrind --collect-atstart=no "${toggles[@]}" --callgrind-out-file="$out" \
    "$build/bench/inproc" --count "$corpus" 2>/dev/null
echo "CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1); instructions counted by callgrind"
printf '%-8s %16s %16s %8s\n' pieces lzh8_decode libdeflate ratio
annotated=$(callgrind_annotate --inclusive=yes "$out" 2>/dev/null)
count() {  # count FUNCTION: its inclusive instructions
    grep -m 1 "count_$1_$2(" <<< "$annotated" | awk '{ gsub(",", "", $1); print $1 }'
}
for set in $sets; do
    lzh8=$(count lzh8 "$set") deflate=$(count deflate "$set")
    printf '%-8s %16s %16s %8.3f\n' "$set" "$lzh8" "$deflate" "$(echo "$lzh8 / $deflate" | bc -l)"
done
echo "(ratio: lzh8_decode's instructions over libdeflate's; below 1 is fewer)"
