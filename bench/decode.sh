#!/bin/bash
# Decoding speed: the benchmark corpus packed with lzh8pack (decoded by
# ostrel) and with gzip -6 (decoded by gzip -dc). Each round decodes the
# whole corpus once with each tool, alternating; the median round is
# reported as MB/s of output, with ostrel's time relative to gzip's and
# ostrel's peak memory over the largest file. With the test suite built,
# the reference decoder (ostrel_exact) is timed too.
# Usage: bench/decode.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-7}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ostrel lzh8pack >/dev/null
cmake --build "$build" --target ostrel_exact >/dev/null 2>&1 || true
corpus=$(bench/corpus.sh "$build/bench-corpus")
work=$(mktemp -d -p "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )")
trap 'rm -rf "$work"' EXIT

packed=$build/bench-packed  # packings kept between runs: packing is slow
mkdir -p "$packed"
total=0
largest="" largest_size=0
names=$(cd "$corpus" && ls)
for name in $names; do
    file=$corpus/$name
    size=$(stat -c %s "$file")
    total=$((total + size))
    [ "$size" -gt "$largest_size" ] && largest=$name largest_size=$size
    [ "$packed/$name.lzh8" -nt "$build/lzh8pack" ] || "$build/lzh8pack" "$file" "$packed/$name.lzh8"
    cp "$packed/$name.lzh8" "$work/$name.lzh8"
    gzip -6c "$file" > "$work/$name.gz"
done

decode_ostrel() {  # decode_ostrel BINARY
    for name in $names; do "$1" "$work/$name.lzh8" "$work/out"; done
}
decode_gzip() {
    for name in $names; do gzip -dc "$work/$name.gz" > "$work/out"; done
}
seconds() {
    local start end
    start=$(date +%s%N)
    "$@"
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))  # microseconds
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for name in $names; do  # every packing decodes exactly before it is timed
    "$build/ostrel" "$work/$name.lzh8" "$work/out"
    cmp -s "$corpus/$name" "$work/out" || { echo "$name: ostrel decoded wrong bytes"; exit 1; }
done

: > "$work/t_ostrel"; : > "$work/t_gzip"; : > "$work/t_exact"
for _ in $(seq "$rounds"); do
    seconds decode_ostrel "$build/ostrel" >> "$work/t_ostrel"
    seconds decode_gzip >> "$work/t_gzip"
done
t_ostrel=$(median < "$work/t_ostrel")
t_gzip=$(median < "$work/t_gzip")
rate() { awk -v b="$total" -v t="$1" 'BEGIN { printf "%.1f", b / t }'; }  # bytes per microsecond = MB/s

echo "corpus: $(echo $names | wc -w) files, $total bytes; $rounds rounds, median"
printf "%-22s %8s %10s\n" decoder "MB/s" "seconds"
printf "%-22s %8s %10.3f\n" "ostrel" "$(rate "$t_ostrel")" "$(awk -v t="$t_ostrel" 'BEGIN { print t / 1e6 }')"
printf "%-22s %8s %10.3f\n" "gzip -dc (gzip -6)" "$(rate "$t_gzip")" "$(awk -v t="$t_gzip" 'BEGIN { print t / 1e6 }')"
if [ -x "$build/tests/ostrel_exact" ]; then
    for _ in 1 2 3; do seconds decode_ostrel "$build/tests/ostrel_exact" >> "$work/t_exact"; done
    t_exact=$(median < "$work/t_exact")
    printf "%-22s %8s %10.3f\n" "ostrel_exact (reference)" "$(rate "$t_exact")" "$(awk -v t="$t_exact" 'BEGIN { print t / 1e6 }')"
fi
echo "ostrel time / gzip time: $(awk -v a="$t_ostrel" -v b="$t_gzip" 'BEGIN { printf "%.3f", a / b }')"

if [ -x /usr/bin/time ]; then
    peak=$( { /usr/bin/time -f %M "$build/ostrel" "$work/$largest.lzh8" "$work/out"; } 2>&1 )
    printf '\x40\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' > "$work/empty.lzh8"
    base=$( { /usr/bin/time -f %M "$build/ostrel" "$work/empty.lzh8" "$work/out"; } 2>&1 )
    echo "ostrel peak memory on $largest ($largest_size bytes): $peak KiB;" \
         "an empty file: $base KiB; beyond the image and that base:" \
         "$(( peak - base - largest_size / 1024 )) KiB"
fi
