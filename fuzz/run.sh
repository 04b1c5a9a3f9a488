#!/bin/bash
# Fuzzes the library's decoder and its stream decoder (held to the
# reference decoder) and its packer (round trips) for the given number of
# seconds in all (default 60, a third each); the decoders' targets start from the test suite's hand-built
# files and packer outputs, keeping what it learns in build-fuzz/fuzz-corpus.
# Further arguments go to libFuzzer, for example -jobs=2 -workers=2 for a
# long run on two cores. Exits non-zero on any finding; the input that
# caused it is left in build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz
cmake --preset fuzz >/dev/null
cmake --build "$build" --target decode_fuzzer stream_fuzzer pack_fuzzer make_seeds lzh8pack >/dev/null

seeds=$build/fuzz-seeds corpus=$build/fuzz-corpus artifacts=$build/fuzz-artifacts
mkdir -p "$seeds" "$corpus" "$artifacts"
"$build/tests/make_seeds" "$seeds"
# Packer outputs: text, a binary's head, runs, noise, and the empty file.
head -c 3000 examples/stock.txt > "$seeds/plain_text"
head -c 2000 "$build/lzh8pack" > "$seeds/plain_binary"
printf 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaabbbbbbbbbbbbbbbbbbbbbbb' > "$seeds/plain_runs"
# Every byte value 12 times, no three bytes twice: the packer stores it.
perl -e 'print map { my $r = $_; map { chr(((2 * $r + 1) * $_ + 7 * $r) & 255) } 0..255 } 0..11' \
    > "$seeds/plain_noise"
: > "$seeds/plain_empty"
for plain in "$seeds"/plain_*; do
    "$build/lzh8pack" "$plain" "${plain/plain_/packed_}"
    rm "$plain"
done

# Leak detection stays on: the library frees everything it takes, on
# every path. The time is split between the targets.
share=$(( (seconds + 2) / 3 ))
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
    "$build/fuzz/decode_fuzzer" -max_total_time="$share" -max_len=4096 -close_fd_mask=2 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$corpus" "$seeds"
# The stream decoder's inputs are the same files after two bytes that
# pick the cuts.
stream_seeds=$build/stream-fuzz-seeds stream_corpus=$build/stream-fuzz-corpus
mkdir -p "$stream_seeds" "$stream_corpus"
for seed in "$seeds"/*; do
    { printf '\x5a\x17'; cat "$seed"; } > "$stream_seeds/${seed##*/}"
done
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
    "$build/fuzz/stream_fuzzer" -max_total_time="$share" -max_len=4096 -close_fd_mask=2 \
    -print_final_stats=1 -artifact_prefix="$artifacts/stream-" "$@" "$stream_corpus" "$stream_seeds"
pack_corpus=$build/pack-fuzz-corpus
mkdir -p "$pack_corpus"
head -c 3000 examples/stock.txt > "$pack_corpus/text"
ASAN_OPTIONS=detect_leaks=1 \
    "$build/fuzz/pack_fuzzer" -max_total_time="$share" -max_len=65536 -close_fd_mask=2 \
    -print_final_stats=1 -artifact_prefix="$artifacts/pack-" "$@" "$pack_corpus"
