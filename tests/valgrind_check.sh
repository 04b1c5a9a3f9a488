#!/bin/bash
# Runs ostrel and lzh8pack under valgrind's memcheck on successful runs:
# no invalid access, no uninitialised use, no leak of any kind.
# Usage: valgrind_check.sh VALGRIND OSTREL LZH8PACK EXAMPLES_DIR
set -euo pipefail
valgrind=$1 ostrel=$2 pack=$3 examples=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
memcheck() {
    "$valgrind" --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=all --suppressions="$(dirname "$0")/valgrind.supp" "$@"
}
head -c 200000 "$ostrel" > "$work/binary"
: > "$work/empty"
for plain in "$examples/stock.txt" "$work/binary" "$work/empty"; do
    name=$(basename "$plain")
    memcheck "$pack" "$plain" "$work/$name.lzh8"
    memcheck "$ostrel" "$work/$name.lzh8" "$work/$name.out"
    cmp "$plain" "$work/$name.out"
done
memcheck "$ostrel" "$examples/stock.lzh8" "$work/stock.out"
cmp "$examples/stock.txt" "$work/stock.out"
echo "memcheck clean"
