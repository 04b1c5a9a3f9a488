#!/bin/bash
# The project as others get it: installed into a scratch prefix, the
# installed programs run on the shipped example, the library's exports
# and manual pages checked, separate projects built against the installed
# library through CMake and pkg-config, and the .debs made, looked into
# and checked by lintian (where it is installed).
# Usage: packaging_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > /dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for file in bin/ostrel bin/lzh8pack bin/lzh8 share/man/man1/ostrel.1.gz share/man/man1/lzh8pack.1.gz \
            share/man/man1/lzh8.1.gz share/bash-completion/completions/lzh8 \
            share/man/man3/lzh8.3.gz share/doc/ostrel/copyright share/doc/ostrel/changelog.gz \
            include/ostrel/lzh8.h include/ostrel/util.h "$libdir/libostrel.so.1" \
            "$libdir/libostrel.so" "$libdir/libostrel.a" "$libdir/libostrel_util.a" \
            "$libdir/pkgconfig/ostrel.pc" "$libdir/cmake/ostrel/ostrelConfig.cmake"; do
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

# The Python module, where the build has it, stands alone where that
# Python finds its packages under the prefix.
python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ -d "$build/python/ostrel" ]; then
    site=$(cd "$prefix" && ls -d lib/python3*/dist-packages)
    [ -e "$prefix/$site/ostrel/py.typed" ] || { echo "the Python package lacks py.typed"; exit 1; }
    PYTHONPATH=$prefix/$site "$python" -c '
import ostrel, sys
packed = open(sys.argv[1], "rb").read()
assert ostrel.decompress(packed) == open(sys.argv[2], "rb").read()
assert ostrel.__file__.startswith(sys.argv[3])' \
        "$source/examples/stock.lzh8" "$source/examples/stock.txt" "$prefix"
fi

# The shared library has its SONAME and exports the lzh8_ calls alone.
shared=$prefix/$libdir/libostrel.so.1
readelf -d "$shared" | grep -q 'SONAME.*\[libostrel\.so\.1\]' || { echo "no SONAME libostrel.so.1"; exit 1; }
others=$(nm -D --defined-only "$shared" | awk '{ print $NF }' | grep -v '^lzh8_' || true)
[ -z "$others" ] || { echo "libostrel.so.1 exports more than the lzh8_ calls:"; echo "$others"; exit 1; }

# Warnings and errors fail; a style note that another page is not
# installed system-wide does not.
mandoc -Tlint -Wwarning "$source/man/ostrel.1" "$source/man/lzh8pack.1" "$source/man/lzh8.1" \
    "$source/man/lzh8.3"

# A C program through pkg-config, against the shared library.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$source/examples/decode.c" $(pkg-config --cflags --libs ostrel) \
    -o "$work/decode"
LD_LIBRARY_PATH=$prefix/$libdir "$work/decode" "$source/examples/stock.lzh8" "$work/by_pkg_config"
cmp "$work/by_pkg_config" "$source/examples/stock.txt"

# A CMake project with every exported target: the C example against the
# shared and the static library, and a C++ program against ostrel::util.
mkdir "$work/user"
cat > "$work/user/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(user LANGUAGES C CXX)
find_package(ostrel CONFIG REQUIRED)
add_executable(shared_decode $source/examples/decode.c)
target_link_libraries(shared_decode PRIVATE ostrel::ostrel)
add_executable(static_decode $source/examples/decode.c)
target_link_libraries(static_decode PRIVATE ostrel::ostrel_static)
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
for program in shared_decode static_decode; do
    "$work/user/build/$program" "$source/examples/stock.lzh8" "$work/$program.txt"
    cmp "$work/$program.txt" "$source/examples/stock.txt"
done
ldd "$work/user/build/static_decode" | grep -q libostrel && { echo "static_decode loads libostrel"; exit 1; }

# A project of C alone, which CMake links with the C compiler: each library
# target brings what it needs to pack and decode, the C++ runtime of the
# static one included, and the header's version is there at compile time.
mkdir "$work/c_user"
cat > "$work/c_user/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(c_user LANGUAGES C)
find_package(ostrel CONFIG REQUIRED)
foreach(target ostrel ostrel_static)
  add_executable(c_\${target} $source/examples/decode.c)
  target_link_libraries(c_\${target} PRIVATE ostrel::\${target})
  add_executable(both_\${target} both.c)
  target_link_libraries(both_\${target} PRIVATE ostrel::\${target})
endforeach()
CMAKE
cat > "$work/c_user/both.c" <<'C'
#include <ostrel/lzh8.h>

#include <stdio.h>
#include <string.h>

#if LZH8_VERSION_NUMBER != LZH8_VERSION_MAJOR * 10000 + LZH8_VERSION_MINOR * 100 + LZH8_VERSION_PATCH
#error "LZH8_VERSION_NUMBER does not match its parts"
#endif

int main(void)
{
    static const char text[] = "packed and decoded, packed and decoded";
    unsigned char packed[256], back[sizeof text];
    size_t packed_size = 0, back_size = 0;
    if (lzh8_pack(text, sizeof text, packed, sizeof packed, &packed_size, 0, 0) != LZH8_OK ||
        lzh8_decode(packed, packed_size, back, sizeof back, &back_size) != LZH8_OK ||
        back_size != sizeof text || memcmp(back, text, sizeof text) != 0)
        return 1;
    printf("%s %d\n", LZH8_VERSION_STRING, LZH8_VERSION_NUMBER);
    return strcmp(lzh8_version(), LZH8_VERSION_STRING) != 0;
}
C
cmake -S "$work/c_user" -B "$work/c_user/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/c_user/build" > /dev/null
for target in ostrel ostrel_static; do
    LD_LIBRARY_PATH=$prefix/$libdir "$work/c_user/build/c_$target" "$source/examples/stock.lzh8" \
        "$work/c_$target.txt"
    cmp "$work/c_$target.txt" "$source/examples/stock.txt"
    LD_LIBRARY_PATH=$prefix/$libdir "$work/c_user/build/both_$target" |
        grep -qx "$("$prefix/bin/lzh8pack" --version | cut -d' ' -f2) [0-9]*" ||
        { echo "both_$target: no round trip, or the header's version is not the library's"; exit 1; }
done
status=0
"$work/user/build/user" "$source/examples/stock.lzh8" > "$work/user.out" 2> "$work/user.err" || status=$?
[ "$status" = 1 ] && grep -qx 40 "$work/user.out" &&
    grep -qx 'util.cpp:[0-9]*:get_byte:fread: unexpected EOF' "$work/user.err" ||
    { echo "the installed util library misbehaves:"; cat "$work/user.out" "$work/user.err"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb" > /dev/null)
debs=("$work"/deb/*.deb)
contains() {  # contains PACKAGE FILE...
    local deb=$work/deb/$1_*.deb contents
    shift
    contents=$(dpkg-deb -c $deb)
    for file in "$@"; do
        grep -q " $file\\( ->.*\\)\\?\$" <<< "$contents" || { echo "$(basename $deb) lacks $file"; exit 1; }
    done
}
contains ostrel ./usr/bin/ostrel ./usr/bin/lzh8pack ./usr/bin/lzh8 ./usr/share/man/man1/ostrel.1.gz \
    ./usr/share/man/man1/lzh8pack.1.gz ./usr/share/man/man1/lzh8.1.gz \
    ./usr/share/bash-completion/completions/lzh8 ./usr/share/doc/ostrel/copyright
contains libostrel1 "./usr/$libdir/libostrel.so.1" ./usr/share/doc/libostrel1/copyright
contains libostrel-dev ./usr/include/ostrel/lzh8.h ./usr/include/ostrel/util.h \
    "./usr/$libdir/libostrel.so" "./usr/$libdir/libostrel.a" "./usr/$libdir/libostrel_util.a" \
    "./usr/$libdir/pkgconfig/ostrel.pc" ./usr/share/man/man3/lzh8.3.gz
if [ -d "$build/python/ostrel" ]; then
    contains python3-ostrel ./usr/lib/python3/dist-packages/ostrel/__init__.py \
        ./usr/lib/python3/dist-packages/ostrel/_files.py ./usr/lib/python3/dist-packages/ostrel/__main__.py \
        ./usr/lib/python3/dist-packages/ostrel/py.typed ./usr/share/doc/python3-ostrel/copyright
fi
for deb in "${debs[@]}"; do
    dpkg-deb -f "$deb" Package Version Depends | tr '\n' ' '
    echo
done
if command -v lintian > /dev/null; then
    report=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) ||
        { echo "$report"; echo "lintian finds errors or warnings"; exit 1; }
else
    echo "lintian is not installed: the .debs are not checked (apt-get install lintian)"
fi
echo "packaging checks passed: $(cd "$work/deb" && echo *.deb)"
