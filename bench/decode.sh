#!/bin/bash
# Decoding speed against the fastest deflate decoders, on the same content:
# each corpus file packed by lzh8pack (decoded by ostrel) and by
# libdeflate-gzip -6 (decoded by libdeflate-gzip -d, igzip -d and gzip -dc),
# each decoder writing a file. Every round decodes every file once with each
# decoder in turn; per file and in total the median round is reported, with
# MB/s of output and ostrel's time as a share of each peer's, then ostrel's
# peak memory over the largest file beyond its base.
# Peers: apt-get install libdeflate-tools isal gzip time (missing ones are
# skipped).
# Usage: bench/decode.sh [build-dir] [rounds] [DIR]: the files are written
# on /dev/shm (tmpfs), or in DIR, such as a directory on the disk's
# filesystem.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-9}
place=${3:-$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ostrel lzh8pack >/dev/null
corpus=$(bench/corpus.sh "$build/bench-corpus")
work=$(mktemp -d -p "$place")
trap 'rm -rf "$work"' EXIT

decoders="ostrel"
command -v libdeflate-gzip >/dev/null && decoders+=" libdeflate" ||
    echo "libdeflate-gzip missing: apt-get install libdeflate-tools"
command -v igzip >/dev/null && decoders+=" igzip" || echo "igzip missing: apt-get install isal"
command -v gzip >/dev/null && decoders+=" gzip"
gzipper=$(command -v libdeflate-gzip || command -v gzip)

packed=$build/bench-packed  # packings kept between runs
mkdir -p "$packed"
names=$(cd "$corpus" && ls)
total=0
for name in $names; do
    file=$corpus/$name
    total=$((total + $(stat -c %s "$file")))
    [ "$packed/$name.lzh8" -nt "$build/lzh8pack" ] || "$build/lzh8pack" "$file" "$packed/$name.lzh8"
    cp "$packed/$name.lzh8" "$work/$name.lzh8"
    "$gzipper" -6 -c "$file" > "$work/$name.gz"
    "$build/ostrel" "$work/$name.lzh8" "$work/out"  # each packing decodes exactly first
    cmp -s "$file" "$work/out" || { echo "$name: ostrel decoded wrong bytes"; exit 1; }
done

# Each decoder writes a file of its own, replacing (or cutting) it on every
# round, so that none meets a file that another has just left.
decode() {  # decode DECODER NAME
    case $1 in
    ostrel) "$build/ostrel" "$work/$2.lzh8" "$work/out.$1" ;;
    libdeflate) libdeflate-gzip -d -c "$work/$2.gz" > "$work/out.$1" ;;
    igzip) igzip -d -c "$work/$2.gz" > "$work/out.$1" ;;
    gzip) gzip -dc "$work/$2.gz" > "$work/out.$1" ;;
    esac
}
# Times are read in microseconds from bash itself (EPOCHREALTIME): a
# `date` process per reading would add its own start-up to every time.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Each round starts the decoders at a different one, so that no decoder is
# always the first to run on a file.
read -r -a order <<< "$decoders"
for round in $(seq "$rounds"); do
    for name in $names; do
        for ((i = 0; i < ${#order[@]}; i++)); do
            d=${order[(i + round) % ${#order[@]}]}
            start=${EPOCHREALTIME/./}; decode "$d" "$name"; end=${EPOCHREALTIME/./}
            echo $((end - start)) >> "$work/t.$d.$name"
        done
    done
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1); files written in $place ($(stat -f -c %T "$work"))"
printf "%-18s %10s" file bytes
for d in $decoders; do printf " %11s" "$d ms"; done
for d in $decoders; do [ "$d" = ostrel ] || printf " %9s" "/$d"; done
echo
declare -A sum
for d in $decoders; do sum[$d]=0; done
row() {  # row NAME BYTES then times in decoder order
    local name=$1 bytes=$2; shift 2
    local -a t=("$@")
    printf "%-18s %10s" "$name" "$bytes"
    for v in "${t[@]}"; do printf " %11.2f" "$(awk -v v="$v" 'BEGIN { print v / 1000 }')"; done
    for ((i = 1; i < ${#t[@]}; i++)); do
        printf " %9.3f" "$(awk -v a="${t[0]}" -v b="${t[i]}" 'BEGIN { print a / b }')"
    done
    echo
}
for name in $names; do
    times=()
    for d in $decoders; do
        m=$(median < "$work/t.$d.$name")
        times+=("$m")
        sum[$d]=$((sum[$d] + m))
    done
    row "$name" "$(stat -c %s "$corpus/$name")" "${times[@]}"
done
times=()
for d in $decoders; do times+=("${sum[$d]}"); done
row total "$total" "${times[@]}"
printf "%-29s" "MB/s over the corpus"
for d in $decoders; do printf " %11.1f" "$(awk -v b="$total" -v t="${sum[$d]}" 'BEGIN { print b / t }')"; done
echo
echo "($rounds rounds, medians per file; the ratios are ostrel's time over each peer's)"

if [ -x /usr/bin/time ]; then
    largest=$(cd "$corpus" && ls -S | head -n 1)
    size=$(stat -c %s "$corpus/$largest")
    peak=$( { /usr/bin/time -f %M "$build/ostrel" "$work/$largest.lzh8" "$work/out"; } 2>&1 )
    printf '\x40\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' > "$work/empty.lzh8"
    base=$( { /usr/bin/time -f %M "$build/ostrel" "$work/empty.lzh8" "$work/out"; } 2>&1 )
    echo "ostrel peak memory on $largest ($size bytes): $peak KiB; an empty file: $base KiB;" \
         "beyond the image and that base: $(( peak - base - size / 1024 )) KiB"
fi
