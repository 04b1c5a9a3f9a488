// Test-side writer of LZH8 files, laid out by hand: table entries, count
// words and the bit stream are given explicitly, so that tests can build
// well-formed files and every kind of damaged one.
#ifndef OSTREL_TESTS_LZH8_BUILDER_H
#define OSTREL_TESTS_LZH8_BUILDER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lzh8 {

// A prefix code: code word ("0", "10", ...) -> leaf value.
using Code = std::map<std::string, unsigned>;

// The low `count` bits of value as '0'/'1' characters, most significant first.
std::string bits(std::uint32_t value, unsigned count);

// Packs '0'/'1' characters most significant bit first, zero-padding the last byte.
std::vector<std::uint8_t> pack_bits(const std::string& bit_text);

// Lays a complete prefix code out breadth-first as tree entries: element 0
// is unused, element 1 is the root. entry_bits is 9 (lengths) or 5 (offsets).
std::vector<unsigned> layout_tree(const Code& code, unsigned entry_bits);

// The code word of a leaf value; the test fails if the code lacks it.
std::string code_word(const Code& code, unsigned value);

// Code words for one literal, and for one match (length 3..258, displacement
// d coded as k = bit length of d and its k - 1 low bits).
std::string literal(const Code& lengths, unsigned byte);
std::string match(const Code& lengths, const Code& offsets, unsigned length, std::uint32_t d);

struct File {
    std::uint32_t size = 0;
    bool long_header = false;
    std::vector<unsigned> length_entries;  // from slot 1
    std::vector<unsigned> offset_entries;  // from slot 1
    int w = -1;                            // count words; -1: the smallest
    int v = -1;                            // that holds every entry
    std::string stream;                    // the bit stream as '0'/'1'
    std::vector<std::uint8_t> trailing;    // bytes after the bit stream
};

// The file's bytes. Entry bits that run past their section are dropped.
std::vector<std::uint8_t> build(const File& file);

}  // namespace lzh8

#endif
