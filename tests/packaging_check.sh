#!/bin/bash
# The project as others get it: installed into a scratch prefix, the
# installed programs run on the shipped example, the man pages linted, a
# separate project built against the installed ostrel::util, and the .deb
# made, looked into and checked by lintian (where it is installed).
# Usage: packaging_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > /dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for file in bin/ostrel bin/lzh8pack share/man/man1/ostrel.1.gz share/man/man1/lzh8pack.1.gz \
            share/doc/ostrel/copyright share/doc/ostrel/changelog.gz include/ostrel/util.h \
            "$libdir/libostrel_util.a" "$libdir/cmake/ostrel/ostrelConfig.cmake"; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

"$prefix/bin/ostrel" "$source/examples/stock.lzh8" "$work/stock.txt"
cmp "$work/stock.txt" "$source/examples/stock.txt"
"$prefix/bin/lzh8pack" -9 "$work/stock.txt" "$work/again.lzh8"
"$prefix/bin/ostrel" "$work/again.lzh8" "$work/again.txt"
cmp "$work/again.txt" "$source/examples/stock.txt"
# The README's recipe for the shipped example reproduces it byte for byte.
"$prefix/bin/lzh8pack" -9 "$source/examples/stock.txt" "$work/stock.lzh8"
cmp "$work/stock.lzh8" "$source/examples/stock.lzh8"
"$prefix/bin/lzh8pack" --version | grep -q '^lzh8pack [0-9]'

# Warnings and errors fail; a style note that the other page is not
# installed system-wide does not.
mandoc -Tlint -Wwarning "$source/man/ostrel.1" "$source/man/lzh8pack.1"

mkdir "$work/user"
cat > "$work/user/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(user LANGUAGES CXX)
find_package(ostrel CONFIG REQUIRED)
add_executable(user main.cpp)
target_link_libraries(user PRIVATE ostrel::util)
CMAKE
cat > "$work/user/main.cpp" <<'CPP'
#include <ostrel/util.h>

#include <cstdio>

int main(int argc, char** argv)
{
    std::FILE* file = std::fopen(argv[1], "rb");
    std::printf("%02x\n", get_32_le_seek(0, file) & 0xFF);  // the type tag
    get_byte_seek(1 << 20, file);  // past the end: reported, status 1
    return argc;
}
CPP
cmake -S "$work/user" -B "$work/user/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/user/build" > /dev/null
status=0
"$work/user/build/user" "$source/examples/stock.lzh8" > "$work/user.out" 2> "$work/user.err" || status=$?
[ "$status" = 1 ] && grep -qx 40 "$work/user.out" &&
    grep -qx 'util.cpp:[0-9]*:get_byte:fread: unexpected EOF' "$work/user.err" ||
    { echo "the installed library misbehaves:"; cat "$work/user.out" "$work/user.err"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb" > /dev/null)
deb=$(ls "$work"/deb/ostrel_*.deb)
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/ostrel ./usr/bin/lzh8pack ./usr/share/man/man1/ostrel.1.gz \
            ./usr/share/man/man1/lzh8pack.1.gz ./usr/include/ostrel/util.h \
            "./usr/$libdir/libostrel_util.a" ./usr/share/doc/ostrel/copyright; do
    grep -q " $file\$" <<< "$contents" || { echo "$(basename "$deb") lacks $file"; exit 1; }
done
dpkg-deb -f "$deb" Package Version Depends
if command -v lintian > /dev/null; then
    report=$(lintian --fail-on error,warning "$deb" 2>&1) ||
        { echo "$report"; echo "lintian finds errors or warnings in $(basename "$deb")"; exit 1; }
else
    echo "lintian is not installed: the .deb is not checked (apt-get install lintian)"
fi
echo "packaging checks passed: $(basename "$deb")"
