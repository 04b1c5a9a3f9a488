#!/bin/bash
# Packing size and speed: every lzh8pack level beside libdeflate-gzip -1, -6,
# -9, -12 and gzip -1, -6, -9, on the benchmark corpus (bench/corpus.sh).
# Each round packs every file once with every packer in turn; per packer the
# total size and, from the median round, MB/s over the corpus, then per file
# the sizes. Every lzh8pack output is decoded and compared first. Ends with
# lzh8pack's peak memory on the largest file at each level.
# Peers: apt-get install libdeflate-tools gzip time (missing ones skipped).
# Usage: bench/pack.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-3}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ostrel lzh8pack >/dev/null
corpus=$(bench/corpus.sh "$build/bench-corpus")
work=$(mktemp -d -p "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )")
trap 'rm -rf "$work"' EXIT
names=$(cd "$corpus" && ls)

packers=""
for level in 1 2 3 4 5 6 7 8 9; do packers+=" lzh8pack-$level"; done
if command -v libdeflate-gzip >/dev/null; then
    for level in 1 6 9 12; do packers+=" libdeflate-$level"; done
else
    echo "libdeflate-gzip missing: apt-get install libdeflate-tools"
fi
command -v gzip >/dev/null && for level in 1 6 9; do packers+=" gzip-$level"; done

pack() {  # pack PACKER FILE OUT
    local level=${1##*-}
    case $1 in
    lzh8pack-*) "$build/lzh8pack" "-$level" "$2" "$3" ;;
    libdeflate-*) libdeflate-gzip "-$level" -c "$2" > "$3" ;;
    gzip-*) gzip "-$level" -c "$2" > "$3" ;;
    esac
}
# Times are read in microseconds from bash itself (EPOCHREALTIME): a
# `date` process per reading would add its own start-up to every time.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

total=0
for name in $names; do
    total=$((total + $(stat -c %s "$corpus/$name")))
    for level in 1 2 3 4 5 6 7 8 9; do
        pack "lzh8pack-$level" "$corpus/$name" "$work/p"
        "$build/ostrel" "$work/p" "$work/d"
        cmp -s "$work/d" "$corpus/$name" || { echo "$name at -$level: wrong bytes back"; exit 1; }
    done
done

for _ in $(seq "$rounds"); do
    for p in $packers; do
        start=${EPOCHREALTIME/./}
        for name in $names; do pack "$p" "$corpus/$name" "$work/$p.$name"; done
        end=${EPOCHREALTIME/./}
        echo $((end - start)) >> "$work/t.$p"
    done
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
echo "corpus: $(echo $names | wc -w) files, $total bytes; $rounds rounds, median time"
printf "%-14s %12s %8s %9s\n" packer "total bytes" ratio "MB/s"
for p in $packers; do
    size=0
    for name in $names; do size=$((size + $(stat -c %s "$work/$p.$name"))); done
    t=$(median < "$work/t.$p")
    printf "%-14s %12d %8.4f %9.1f\n" "$p" "$size" \
        "$(awk -v a="$size" -v b="$total" 'BEGIN { print a / b }')" \
        "$(awk -v b="$total" -v t="$t" 'BEGIN { print b / t }')"
done

echo
printf "%-18s" file
for p in $packers; do printf " %13s" "$p"; done
echo
for name in $names; do
    printf "%-18s" "$name"
    for p in $packers; do printf " %13d" "$(stat -c %s "$work/$p.$name")"; done
    echo
done

if [ -x /usr/bin/time ]; then
    largest=$(cd "$corpus" && ls -S | head -n 1)
    size=$(stat -c %s "$corpus/$largest")
    echo
    echo "lzh8pack peak memory on $largest ($size bytes):"
    for level in 1 6 9; do
        peak=$( { /usr/bin/time -f %M "$build/lzh8pack" "-$level" "$corpus/$largest" "$work/p"; } 2>&1 )
        echo "  -$level: $peak KiB ($(awk -v p="$peak" -v s="$size" 'BEGIN { printf "%.2f", p * 1024 / s }')x the input)"
    done
fi
