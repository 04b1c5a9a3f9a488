#!/bin/bash
# Builds the benchmark corpus in the directory given (default bench-corpus
# under the build directory): files every Debian machine with this
# project's build tools has, plus generated data, about 29 MB in all.
# The generated part is the same on every machine (perl's seeded rand).
set -euo pipefail
dir=${1:-build/bench-corpus}
mkdir -p "$dir"
arch=$(gcc -print-multiarch)
cmake_modules=$(ls -d /usr/share/cmake-*/Modules | head -n 1)

copy() {  # copy SOURCE NAME
    [ -s "$dir/$2" ] || cp -L "$1" "$dir/$2"
}
copy /usr/bin/bash bash
copy /usr/bin/perl perl
copy /usr/bin/cmake cmake
copy "/usr/lib/$arch/libc.so.6" libc.so.6
copy "/usr/lib/$arch/libstdc++.so.6" libstdc++.so.6
copy /usr/share/common-licenses/GPL-3 GPL-3
[ -s "$dir/cmake-modules.tar" ] ||
    tar -C "$(dirname "$cmake_modules")" --sort=name --mtime=@0 --owner=0 --group=0 \
        --numeric-owner -cf "$dir/cmake-modules.tar" Modules

# Generated: text of words from a fixed vocabulary, random bytes, and runs.
[ -s "$dir/words.txt" ] || perl -e '
    srand(1); my @w;
    for (1..3000) { push @w, join "", map { chr(97 + int rand 26) } 1..(2 + int rand 8) }
    my $n = 0; my $out = "";
    while ($n < 3_000_000) { my $t = $w[int rand @w] . (rand() < 0.08 ? "\n" : " "); $out .= $t; $n += length $t }
    print $out' > "$dir/words.txt"
[ -s "$dir/random.bin" ] || perl -e 'srand(2); print pack("C*", map { int rand 256 } 1..1_000_000)' > "$dir/random.bin"
[ -s "$dir/runs.bin" ] || perl -e '
    srand(3); my $out = "";
    while (length $out < 1_000_000) { $out .= chr(int rand 256) x (1 + int rand 2000) }
    print substr($out, 0, 1_000_000)' > "$dir/runs.bin"
echo "$dir"
