// The LZH8 format, as both the decoder and the packer see it.
//
// All numbers are little-endian; the sections follow one another, each a
// multiple of 4 bytes long, so each starts at a multiple of 4:
//
//   header      0x40, then the decoded size in 24 bits; when those are zero,
//               the size follows as a 32-bit word (an 8-byte header)
//   lengths     W (16 bits), then 9-bit entries of the length tree,
//               (W + 1) * 4 bytes in all
//   offsets     V (8 bits), then 5-bit entries of the offset tree,
//               (V + 1) * 4 bytes in all
//   bit stream  the codes of literals and matches, as far as decoding needs
//
// Every packed area is read most significant bit first and starts on a
// byte of its own. A tree is an array of slots; slot 1 is the root, and
// nodes sit in pairs (slots 2p and 2p + 1 form pair p). A node entry holds
// two leaf flags (its top bit for child 0, the next for child 1) and a
// child offset c in its other bits: the children of a node in pair p are
// the pair p + c + 1, so a child always lies after its parent. A length
// leaf is a literal byte (0..255) or a match length (256..511 mean
// 3..258); an offset leaf is the bit length k of the displacement d, whose
// top bit is implied and whose other k - 1 bits follow the code. Only d's
// low 16 bits count: a match copies from d + 1 bytes back, 1 to 65536.
#ifndef OSTREL_LIB_FORMAT_H
#define OSTREL_LIB_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ostrel {

const std::uint8_t type_tag = 0x40;
const std::uint32_t largest_size = 0xFFFFFFFF;  // the header's 32 bits

const unsigned length_slots = 1024;  // slot 0 unused, entries fill 1..1023
const unsigned offset_slots = 64;    // slot 0 unused, entries fill 1..63
const unsigned length_entry_bits = 9;
const unsigned offset_entry_bits = 5;
const unsigned length_max_child_offset = 127;  // the 7 low bits of a length node
const unsigned offset_max_child_offset = 7;    // the 3 low bits of an offset node

// The header's length from its first 32 bits: 8 where the 24-bit size is
// zero and the size follows, else 4.
inline unsigned header_length(std::uint32_t first_word)
{
    return (first_word >> 8) == 0 ? 8 : 4;
}

// The packed areas of the tables, after W's 2 bytes and V's 1: (W + 1) * 4
// and (V + 1) * 4 bytes in all, so each section after them starts on a
// multiple of 4.
inline std::uint32_t length_area_bytes(std::uint32_t w)
{
    return 4 * w + 2;
}
inline std::uint32_t offset_area_bytes(std::uint32_t v)
{
    return 4 * v + 3;
}

// Where the section after the lengths (at lengths_at, with W) starts, and
// where the one after the offsets (at offsets_at, with V) starts.
inline std::size_t after_lengths(std::size_t lengths_at, std::uint32_t w)
{
    return lengths_at + 2 + length_area_bytes(w);
}
inline std::size_t after_offsets(std::size_t offsets_at, std::uint32_t v)
{
    return offsets_at + 1 + offset_area_bytes(v);
}

const unsigned min_match = 3;
const unsigned max_match = 258;
const std::uint32_t window = 65536;  // distances 1..65536

const unsigned literal_symbols = 256;  // length symbols 0..255 are literals
const unsigned length_symbols = 512;
// The offset symbols a packer needs: k = 0..16 covers d = 0..65535. A
// file may hold k up to 31, of which only d's low 16 bits count.
const unsigned offset_symbols = 17;

// The length symbol of a match of length bytes (3..258): 256..511.
inline unsigned length_symbol(unsigned length)
{
    return literal_symbols + length - min_match;
}

// The length of the match that a length symbol of 256..511 stands for.
inline unsigned match_length_of(unsigned symbol)
{
    return (symbol & 0xFF) + min_match;
}

// The bits of n up to its top one: 0 for 0.
inline unsigned bit_length(std::uint32_t n)
{
    return n == 0 ? 0 : 32 - static_cast<unsigned>(__builtin_clz(n));
}

// The offset symbol k of the displacement d = distance - 1: d's bit length.
inline unsigned offset_symbol(std::uint32_t d)
{
    return bit_length(d);
}

// The bits that follow an offset code of k: d's k - 1 bits under its top
// one, which k implies; none for k of 0 or 1.
inline unsigned following_bits(unsigned k)
{
    return k - (k != 0);
}

// The slot that bit (0 or 1) leads to from the node in slot node holding
// entry.
inline unsigned child_slot(unsigned node, unsigned entry, unsigned entry_bits, unsigned bit)
{
    const unsigned offset_mask = (1u << (entry_bits - 2)) - 1;  // 0x7F or 0x07
    return 2 * ((node >> 1) + (entry & offset_mask) + 1) + bit;
}

// The flag of a node entry that marks child bit as a leaf: 0x100 and 0x80
// in the length tree, 0x10 and 0x08 in the offset tree.
inline unsigned leaf_flag(unsigned entry_bits, unsigned bit)
{
    return 1u << (entry_bits - 1 - bit);
}

// The distance back of a match whose offset leaf is k, with the k - 1
// bits that follow the code: the implied top bit, which 1 << k halved
// gives for every k, and only the low 16 bits of the displacement count.
inline std::uint32_t distance_of(unsigned k, std::uint32_t following)
{
    return ((((1u << k) >> 1) | following) & 0xFFFF) + 1;
}

// The most bytes that a file of in_size bytes can decode to: a match, at
// most 258 bytes, takes a length code and an offset code of a bit or more
// each, and a literal a code of a bit or more. (Counting the header's and
// tables' bytes as stream only loosens the bound.) A larger declared size
// can only end in a failure.
inline std::size_t reachable_size(std::size_t in_size)
{
    const std::size_t per_byte = 8 / 2 * max_match;
    return in_size > SIZE_MAX / per_byte ? SIZE_MAX : in_size * per_byte;
}

// The width bytes at p (1 to 4), little-endian: the header's words and
// the tables' counts.
inline std::uint32_t load_le(const std::uint8_t* p, unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

// The 8 bytes at p as one word, the first byte most significant: the
// order in which both the tables and the bit stream are packed.
inline std::uint64_t load_64_be(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

}  // namespace ostrel

#endif
