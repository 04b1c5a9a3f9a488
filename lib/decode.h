// The steps of decoding an LZH8 bit stream, which the decoder of a whole
// file (decode.cpp) and the decoder that cuts a stream into lanes
// (lanes.cpp) share: the loaded trees, the lookup tables' entries, the bit
// reader, the decoding of one code and one symbol, and the fast loop's
// steps.
#ifndef OSTREL_LIB_DECODE_H
#define OSTREL_LIB_DECODE_H

#include "format.h"

#include <ostrel/lzh8.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The fast loop's steps are inlined whatever the compiler's judgement of
// their size: with link-time optimization GCC left the match copy out of
// line, a call for every match (13% of decoding).
#define OSTREL_STEP inline __attribute__((always_inline))

namespace ostrel {

// A loaded tree: its slots (length entries are 9 bits, offset entries 5;
// both are kept in 16-bit slots), the last slot its loader filled, and its
// entry width. Slots beyond `filled` hold nothing.
struct Tree {
    std::uint16_t slots[length_slots];
    unsigned filled;
    unsigned entry_bits;
};

// One step of a walk: the slot that bit leads to from node, or 0 when that
// slot was never filled (or lies beyond the table). A bad branch is
// harmless until a walk takes it, so it is refused only then.
inline unsigned walk_step(const Tree& tree, unsigned node, unsigned bit, bool& leaf)
{
    unsigned entry = tree.slots[node];
    unsigned child = child_slot(node, entry, tree.entry_bits, bit);
    leaf = (entry & leaf_flag(tree.entry_bits, bit)) != 0;
    return child > tree.filled ? 0 : child;
}

// ---- Lookup tables ------------------------------------------------------

// The length lookup takes 12 bits for a long stream; a short one, for which
// building the table costs more than it saves, takes fewer (see
// length_lookup_bits_for).
const unsigned length_lookup_bits = 12;
const unsigned offset_lookup_bits = 8;

// A lookup table maps the next `lookup_bits` bits of the stream to what
// they begin. Its 32-bit entries, for both trees:
//
//   bits 0-5    the bits that the fast loop takes for the entry
//   bit 6       a match (length tree)
//   bit 7       the code is not resolved here: bits 8-17 hold the node it
//               goes on from, or 0 for a branch outside the tree
//   bits 25-28  how many bits the entry's first code takes (for a node or
//               a bad branch: how many bits lead there)
//   length tree, a literal: bits 8-15 the literal, bits 29-30 the count of
//               literals (1 or 2) that the entry writes, bits 16-23 the
//               second literal, whose code follows the first within the
//               looked-up bits
//   length tree, a match: bits 8-15 the match length less 3; bit 31 set
//               when the offset code follows within the looked-up bits,
//               with its k (the displacement's bit count) in bits 16-20
//               and the bits of both codes in bits 21-24 (the bits taken,
//               in bits 0-5, are those and the k - 1 that follow)
//   offset tree: bits 16-20 k; the bits taken, in bits 0-5, are the
//               code's and the k - 1 that follow it
//
// so a literal entry is written out as the two bytes from bit 8, of which
// the second counts only when it says so; that count lies at its top,
// and the bits taken at its bottom, so that each is had in one step. No
// entry is 0 or all ones, which the decoding steps below return for a bad
// branch and for an input that ends.
const std::uint32_t lookup_match = 1 << 6;
const std::uint32_t lookup_unresolved = 1 << 7;
const std::uint32_t lookup_joined = 1u << 31;
const std::uint32_t one_literal = 1 << 29;
const std::uint32_t bad_branch = 0;
const std::uint32_t input_ended = 0xFFFFFFFF;

// The fields, by their lowest bit and their width.
const unsigned taken_mask = 63;                                // bits 0-5
const unsigned symbol_shift = 8, symbol_mask = 0xFF;           // bits 8-15
const unsigned node_shift = 8, node_mask = 0x3FF;              // bits 8-17
const unsigned second_shift = 16;                              // bits 16-23
const unsigned k_shift = 16, k_mask = 31;                      // bits 16-20
const unsigned joined_bits_shift = 21, joined_bits_mask = 15;  // bits 21-24
const unsigned first_bits_shift = 25, first_bits_mask = 15;    // bits 25-28
const unsigned literal_count_shift = 29;                       // bits 29-30
// An entry's first code and its symbol: what a joined entry keeps of it.
const std::uint32_t first_code_fields = first_bits_mask << first_bits_shift | symbol_mask
                                                                                  << symbol_shift;

// Each field holds what it must: the bits of a code the lookup resolves
// (the first code's, or both joined codes'), a node's slot, a literal or a
// match length less 3, k up to 31, and the bits taken, which for a joined
// match are both codes' and the 30 at most that follow them.
static_assert(12 <= first_bits_mask && 12 <= joined_bits_mask);
static_assert(length_slots - 1 <= node_mask && max_match - min_match <= symbol_mask);
static_assert(31 <= k_mask && 12 + 30 <= taken_mask);
static_assert(one_literal == 1u << literal_count_shift && second_shift == symbol_shift + 8);

// The bits an entry's first code takes.
inline unsigned first_code_bits(std::uint32_t entry)
{
    return entry >> first_bits_shift & first_bits_mask;
}

// The bits the fast loop takes for an entry.
OSTREL_STEP unsigned taken_bits(std::uint32_t entry)
{
    return entry & taken_mask;
}

// The offset tree's leaf in an offset entry, or in a joined match entry.
OSTREL_STEP unsigned entry_k(std::uint32_t entry)
{
    return entry >> k_shift & k_mask;
}

// Where the walk of an unresolved entry's code goes on: a node's slot, or
// 0 for a branch outside the tree.
inline unsigned entry_node(std::uint32_t entry)
{
    return entry >> node_shift & node_mask;
}

inline std::uint32_t length_leaf(unsigned symbol, unsigned code_bits)
{
    std::uint32_t entry =
        (symbol & symbol_mask) << symbol_shift | code_bits << first_bits_shift | code_bits;
    return symbol >= literal_symbols ? entry | lookup_match : entry | one_literal;
}

inline std::uint32_t offset_leaf(unsigned k, unsigned code_bits)
{
    return k << k_shift | code_bits << first_bits_shift | (code_bits + following_bits(k));
}

OSTREL_STEP bool is_literal(std::uint32_t entry)
{
    return (entry & (lookup_unresolved | lookup_match)) == 0;
}

// ---- The bit reader -----------------------------------------------------

// The bit buffer holds its `count` untaken bits at its top, next bit
// first; below them lie zeros or the stream's following bits in their
// places, never anything else, so loading more may OR over them. `next`
// to `end` are the input's bytes not yet loaded.
struct BitReader {
    std::uint64_t bits;
    unsigned count;
    const std::uint8_t* next;
    const std::uint8_t* end;
};

// Tops the buffer up to 56 bits or more from 8 bytes of the input: the
// whole bytes that fit are taken, so `count` + 8 * taken is 56 + (`count`
// & 7), which is `count` | 56 for any `count` below 64. Bits of the last
// byte loaded that do not count yet are that byte's, in their places. For
// the fast loop's buffer (FastBits below), only `count`'s low 6 bits tell.
template <typename Reader>
OSTREL_STEP void refill_fast(Reader& reader)
{
    const unsigned count = reader.count & 63;
    reader.bits |= load_64_be(reader.next) >> count;
    reader.next += (63 - count) >> 3;
    reader.count = count | 56;
}

// Tops the buffer up as far as the input goes.
inline void refill(BitReader& reader)
{
    if (reader.end - reader.next >= 8) {
        refill_fast(reader);
        return;
    }
    while (reader.count <= 56 && reader.next < reader.end) {
        reader.bits |= std::uint64_t{*reader.next++} << (56 - reader.count);
        reader.count += 8;
    }
}

// One bit, or -1 where the input has no more.
inline int take_bit(BitReader& reader)
{
    if (reader.count == 0) {
        refill(reader);
        if (reader.count == 0)
            return -1;
    }
    auto bit = static_cast<int>(reader.bits >> 63);
    reader.bits <<= 1;
    reader.count--;
    return bit;
}

// wanted bits (1 to 31) when fewer are buffered: refilled, or taken one
// at a time as far as the input has them.
inline std::uint32_t take_bits_refilling(BitReader& reader, unsigned wanted, bool& ended)
{
    refill(reader);
    if (reader.count >= wanted) {
        auto value = static_cast<std::uint32_t>(reader.bits >> (64 - wanted));
        reader.bits <<= wanted;
        reader.count -= wanted;
        return value;
    }
    std::uint32_t value = 0;
    while (wanted-- > 0) {
        int bit = take_bit(reader);
        if (bit < 0) {
            ended = true;
            return 0;
        }
        value = value << 1 | static_cast<std::uint32_t>(bit);
    }
    return value;
}

// wanted bits (at most 31), first most significant.
inline std::uint32_t take_bits(BitReader& reader, unsigned wanted, bool& ended)
{
    if (wanted == 0)
        return 0;
    if (reader.count < wanted)
        return take_bits_refilling(reader, wanted, ended);
    auto value = static_cast<std::uint32_t>(reader.bits >> (64 - wanted));
    reader.bits <<= wanted;
    reader.count -= wanted;
    return value;
}

// ---- Decoding -----------------------------------------------------------

// The leaf a walk from node ends at, its value, or -1 for a bad branch and
// -2 where the input ends.
inline int walk(BitReader& reader, const Tree& tree, unsigned node)
{
    for (;;) {
        int bit = take_bit(reader);
        if (bit < 0)
            return -2;
        bool leaf;
        unsigned child = walk_step(tree, node, static_cast<unsigned>(bit), leaf);
        if (child == 0)
            return -1;
        if (leaf)
            return tree.slots[child];
        node = child;
    }
}

// The entry for the next code, its bits taken, when the lookup resolves it
// and they are buffered; otherwise the code is walked, from the node the
// lookup reached or, when its bits are not all there, from the root, and
// the entry is made for the leaf the walk ends at: bad_branch or
// input_ended where it does not reach one.
template <std::uint32_t (*leaf_entry)(unsigned, unsigned)>
std::uint32_t decode_code(BitReader& reader, const std::uint32_t* lookup, unsigned lookup_bits,
                          const Tree& tree)
{
    if (reader.count < lookup_bits)
        refill(reader);
    std::uint32_t entry = lookup[reader.bits >> (64 - lookup_bits)];
    unsigned used = first_code_bits(entry);
    unsigned node = 1;
    if (used <= reader.count) {
        reader.bits <<= used;
        reader.count -= used;
        if ((entry & lookup_unresolved) == 0)
            return entry;
        node = entry_node(entry);
        if (node == 0)
            return bad_branch;
    }
    int value = walk(reader, tree, node);
    if (value < 0)
        return value == -1 ? bad_branch : input_ended;
    return leaf_entry(static_cast<unsigned>(value), 1);
}

// The bits that follow the offset code of an entry.
inline unsigned entry_following_bits(std::uint32_t offset)
{
    return following_bits(entry_k(offset));
}

// A match's distance from its offset entry and the bits that followed.
inline std::uint32_t distance_of_entry(std::uint32_t offset, std::uint32_t following)
{
    return distance_of(entry_k(offset), following);
}

// The same from the bits at the top of the buffer, just after the codes:
// with d's implied top bit set above them, d is the top k bits, which
// shifting right by one and then by 63 - k takes, none when k is 0, with
// no shift of 64. Only d's low 16 bits count (see distance_of).
OSTREL_STEP std::uint32_t distance_from(unsigned k, std::uint64_t bits)
{
    const std::uint64_t implied = bits >> 1 | std::uint64_t{1} << 63;
    return static_cast<std::uint32_t>(implied >> 1 >> (63 - k) & 0xFFFF) + 1;
}

// Copies a match forward, in steps as wide as the distance allows. Every
// step reads only bytes already written: a step of w bytes starts at
// least w bytes ahead of its source. Writes run up to 31 bytes past the
// match, into bytes written again later or into room the fast loop keeps.
OSTREL_STEP void copy_match(std::uint8_t* to, std::uint32_t distance, std::uint32_t count)
{
    const std::uint8_t* from = to - distance;
    std::uint8_t* const end = to + count;
    if (distance >= 16) {
        // Most matches are short: 32 bytes are copied whatever the length,
        // without a branch on it.
        std::memcpy(to, from, 16);
        std::memcpy(to + 16, from + 16, 16);
        for (to += 32, from += 32; to < end; to += 16, from += 16)
            std::memcpy(to, from, 16);
    } else if (distance >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + 8, from + 8, 8);
        std::memcpy(to + 16, from + 16, 8);
        std::memcpy(to + 24, from + 24, 8);
        for (to += 32, from += 32; to < end; to += 8, from += 8)
            std::memcpy(to, from, 8);
    } else if (distance == 1) {
        // A run of one byte, stored 8 at a time.
        const std::uint64_t run = *from * 0x0101010101010101u;
        for (unsigned at = 0; at < 32; at += 8)
            std::memcpy(to + at, &run, 8);
        for (to += 32; to < end; to += 8)
            std::memcpy(to, &run, 8);
    } else {
        // Distances 2 to 7: the bytes repeat with the distance as period,
        // so a source any multiple of it back holds the same bytes. Once
        // one at least 8 back has been written byte by byte, 8 bytes at a
        // time copy from there. (Copying 8 bytes at a time from the
        // distance back would read bytes its last store holds, which
        // processors forward slowly from a store of another size.)
        const std::uint32_t step = distance * ((8 + distance - 1) / distance);
        std::uint8_t* widened = to + std::min(step, count);
        for (; to < widened; to++)
            *to = *(to - distance);
        for (; to < end; to += 8)
            std::memcpy(to, to - step, 8);
    }
}

// The match's length from its length entry.
OSTREL_STEP std::uint32_t match_length(std::uint32_t entry)
{
    return match_length_of(entry >> symbol_shift);
}

// Both trees with their lookup tables, and whether the fast loop for any
// processor is to run even where one for this processor's features is
// there (which tests ask for, so that both are held to the reference).
struct Lookups {
    const std::uint32_t* length_lookup;
    unsigned length_bits;
    const Tree& lengths;
    const std::uint32_t* offset_lookup;
    const Tree& offsets;
    bool portable_loop;
};

// Whether the fast loops built for processors with BMI2 are to run (see
// each_processor.h). BMI2's shifts take their count from any register and
// leave the flags alone: without them every variable shift goes through
// CL, and the loops run short of registers, with 6% more instructions on
// whole files. The processor is asked at every call: one load, against a
// decoding's thousands.
inline bool bmi2_loops(const Lookups& lookups)
{
#if defined(__x86_64__)
    return !lookups.portable_loop && __builtin_cpu_supports("bmi2");
#else
    (void)lookups;
    return false;
#endif
}

// A match's distance, once its length code is taken: its offset code,
// walked where the lookup does not resolve it, and the bits that follow.
inline lzh8_result read_distance(BitReader& reader, const Lookups& lookups, std::uint32_t& distance)
{
    std::uint32_t offset = decode_code<offset_leaf>(reader, lookups.offset_lookup,
                                                    offset_lookup_bits, lookups.offsets);
    if (offset == bad_branch)
        return LZH8_CORRUPT_OFFSET_TREE;
    if (offset == input_ended)
        return LZH8_TRUNCATED;
    bool ended = false;
    std::uint32_t following = take_bits(reader, entry_following_bits(offset), ended);
    if (ended)
        return LZH8_TRUNCATED;
    distance = distance_of_entry(offset, following);
    return LZH8_OK;
}

// A symbol as its codes give it: a literal (length 0) or a match.
struct Symbol {
    std::uint32_t length;
    std::uint32_t distance;
    std::uint8_t literal;
};

// The next symbol, its codes taken, or the failure that ends decoding
// there.
inline lzh8_result read_symbol(BitReader& reader, const Lookups& lookups, Symbol& symbol)
{
    std::uint32_t entry = decode_code<length_leaf>(reader, lookups.length_lookup,
                                                   lookups.length_bits, lookups.lengths);
    if (entry == bad_branch)
        return LZH8_CORRUPT_LENGTH_TREE;
    if (entry == input_ended)
        return LZH8_TRUNCATED;
    if ((entry & lookup_match) == 0) {
        symbol = {0, 0, static_cast<std::uint8_t>(entry >> symbol_shift)};
        return LZH8_OK;
    }
    symbol = {match_length(entry), 0, 0};
    return read_distance(reader, lookups, symbol.distance);
}

// Copies a match at q, once it is known to reach no further back than the
// image's start. The careful loop cuts a match at the declared size and
// copies it byte by byte, forward, so that a distance shorter than the
// match repeats the bytes it has just made; elsewhere the image always has
// room for the fast copy.
template <bool careful>
lzh8_result put_match(std::uint8_t* image, std::uint32_t& q, std::uint32_t size,
                      std::uint32_t length, std::uint32_t distance)
{
    if (distance > q)
        return LZH8_MATCH_BEFORE_START;
    if (careful) {
        for (std::uint32_t end = q + std::min(length, size - q); q < end; q++)
            image[q] = image[q - distance];
    } else {
        copy_match(image + q, distance, length);
        q += length;
    }
    return LZH8_OK;
}

// The rest of a match whose length code is taken: its distance and copy.
template <bool careful>
lzh8_result finish_match(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                         std::uint32_t& q, std::uint32_t size, std::uint32_t length)
{
    std::uint32_t distance = 0;
    lzh8_result result = read_distance(reader, lookups, distance);
    return result != LZH8_OK ? result : put_match<careful>(image, q, size, length, distance);
}

// One symbol at q, the general path of both loops.
template <bool careful>
lzh8_result decode_symbol(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                          std::uint32_t& q, std::uint32_t size)
{
    Symbol symbol;
    lzh8_result result = read_symbol(reader, lookups, symbol);
    if (result != LZH8_OK)
        return result;
    if (symbol.length == 0) {
        image[q++] = symbol.literal;
        return LZH8_OK;
    }
    return put_match<careful>(image, q, size, symbol.length, symbol.distance);
}

// The room the fast loop keeps after q. It runs twice: first while the
// image has room for three literal entries (6 bytes), the longest match
// and a copy's overrun, so that no match needs to be checked; then, in
// the image's last bytes, while it has room for the literals and the
// overrun, each match going ahead only where the image has room for its
// length and the overrun after it.
const std::uint32_t copy_overrun = 32;
const std::uint32_t unchecked_room = 6 + max_match + copy_overrun;
const std::uint32_t checked_room = 6 + copy_overrun;
// A copy writes 32 bytes, or runs on in steps of 16 or 8 past its first
// 32, so it ends less than 32 bytes past the match (see copy_match).
static_assert(copy_overrun >= 32 && checked_room >= 3 * 2 + copy_overrun);
static_assert(unchecked_room >= 3 * 2 + max_match + copy_overrun);

// The input the fast loop keeps ahead of the bytes it loads: a round may
// refill twice, and a refill moves on at most 7 bytes and reads 8.
const std::ptrdiff_t fast_input = 16;
static_assert(7 + 8 <= fast_input);

// A refill leaves 56 bits or more. That is enough for three literal
// entries and a match's length code, each looked up in at most 12 bits;
// and after the second refill, for the offset code (8 bits), the bits
// that follow it (30 at most) and the next lookup, or for a joined entry's
// two codes (12 bits in all), the bits that follow and the next lookup.
static_assert(4 * length_lookup_bits <= 56);
static_assert(offset_lookup_bits + 30 + length_lookup_bits <= 56);
static_assert(length_lookup_bits + 30 + length_lookup_bits <= 56);

// The fast loop's bit buffer: a BitReader's bits and next byte, and a
// count that only its low 6 bits tell (the loop subtracts whole entries
// from it, whose bits above their bottom 6 fall away modulo 64).
struct FastBits {
    std::uint64_t bits;
    unsigned count;
    const std::uint8_t* next;
};

// Takes the bits that entry's bottom 6 bits count.
OSTREL_STEP void take_entry(FastBits& fast, std::uint32_t entry)
{
    fast.bits <<= taken_bits(entry);
    fast.count -= entry;
}

template <unsigned length_bits>
OSTREL_STEP std::uint32_t next_length_entry(const FastBits& fast, const std::uint32_t* lookup)
{
    return lookup[fast.bits >> (64 - length_bits)];
}

// Both bytes of a literal entry are stored; a second that does not count
// is written over by the next symbol, or lies in the room the fast loop
// keeps.
OSTREL_STEP void put_literals(FastBits& fast, std::uint32_t entry, std::uint8_t*& out)
{
    auto pair = static_cast<std::uint16_t>(entry >> symbol_shift);
    std::memcpy(out, &pair, 2);
    out += entry >> literal_count_shift;
    take_entry(fast, entry);
}

// Writes literal entries from entry on, three at most (what one refill's
// bits hold), looking up the next code after each. True when all three
// were literals; otherwise entry is the first code that is not.
template <unsigned length_bits>
OSTREL_STEP bool put_three_literals(FastBits& fast, std::uint32_t& entry,
                                    const std::uint32_t* lookup, std::uint8_t*& out)
{
    if (is_literal(entry)) {
        put_literals(fast, entry, out);
        entry = next_length_entry<length_bits>(fast, lookup);
        if (is_literal(entry)) {
            put_literals(fast, entry, out);
            entry = next_length_entry<length_bits>(fast, lookup);
            if (is_literal(entry)) {
                put_literals(fast, entry, out);
                entry = next_length_entry<length_bits>(fast, lookup);
                return true;
            }
        }
    }
    return false;
}

// The distance of a match whose entry holds both its codes: a
// displacement of k bits, k - 1 of them following the codes, the top one
// implied. Takes the codes and the following bits.
OSTREL_STEP std::uint32_t take_joined_distance(FastBits& fast, std::uint32_t entry)
{
    refill_fast(fast);
    const unsigned code_bits = entry >> joined_bits_shift & joined_bits_mask;
    std::uint32_t distance = distance_from(entry_k(entry), fast.bits << code_bits);
    take_entry(fast, entry);
    return distance;
}

// The distance from an offset entry the lookup resolved, whose code
// stands at the top of the buffer. Takes the code and the following bits.
OSTREL_STEP std::uint32_t take_offset_distance(FastBits& fast, std::uint32_t offset)
{
    std::uint32_t distance = distance_from(entry_k(offset), fast.bits << first_code_bits(offset));
    take_entry(fast, offset);
    return distance;
}

// A match's distance from the entry of its length code, its codes and
// the bits that follow taken. False where the lookups do not resolve a
// code, with the bits at the code to be walked: the length code's when
// the entry is unresolved, else the offset code's.
OSTREL_STEP bool take_match_distance(FastBits& fast, std::uint32_t entry,
                                     const std::uint32_t* offset_lookup, std::uint32_t& distance)
{
    if ((entry & (lookup_unresolved | lookup_joined)) == lookup_joined) {
        distance = take_joined_distance(fast, entry);
        return true;
    }
    if ((entry & lookup_unresolved) != 0)
        return false;
    take_entry(fast, entry);
    refill_fast(fast);
    const std::uint32_t offset = offset_lookup[fast.bits >> (64 - offset_lookup_bits)];
    if ((offset & lookup_unresolved) != 0)
        return false;
    distance = take_offset_distance(fast, offset);
    return true;
}

// ---- Tables, lookups and the fast loop (decode.cpp) -----------------------

// The entries that a table area of area_bytes bytes loads into a tree of
// slots: as many as begin in the area, no more than the slots after slot
// 0. A reader fetches a byte only when it wants a bit of it, so the bytes
// fetched are their bits rounded up, and the last entry may run into the
// byte after the area (the next section is read from its own offset, so
// that is harmless).
unsigned table_entries(std::uint32_t area_bytes, unsigned slots, unsigned entry_bits);
std::size_t table_fetched_bytes(std::uint32_t area_bytes, unsigned slots, unsigned entry_bits);

// Loads the table area at `at`, whose fetched bytes are all there, into
// slots 1, 2, ... of the tree, whose entry_bits are set.
void load_table_entries(const std::uint8_t* at, std::uint32_t area_bytes, unsigned slots,
                        Tree& tree);

// The bits the length lookup takes for an image of size bytes: a table of
// 2^bits entries is built for every file, and a file of few symbols is
// decoded sooner with a smaller one, though more codes are then walked.
unsigned length_lookup_bits_for(std::uint32_t size);

// Fills the length lookup of 2^length_bits entries from the loaded tree.
void build_length_lookup(const Tree& lengths, unsigned length_bits, std::uint32_t* length_lookup);

// Whether every 8 bits of the stream are a literal's code that spells the
// literal itself: then the stream is the decoded bytes, to be copied, not
// decoded. The packer stores input that does not compress this way. Asked
// of the loaded tree, before any lookup is built, since a stored file
// needs none.
bool spells_its_literals(const Tree& lengths);

// Fills the offset lookup, then, for a length lookup of 11 bits or more,
// joins to its entries the codes that follow theirs within the looked-up
// bits. Joining visits every entry of the length lookup, and saves a
// lookup for each symbol joined: on the short files that take 10 bits it
// cost more instructions than it saved.
void build_offset_lookup(const Tree& offsets, std::uint32_t* offset_lookup,
                         std::uint32_t* length_lookup, unsigned length_bits);

// The fast loops, from q in an image of size bytes up to stop at most:
// each ends where the input has fewer than input_margin bytes left to load
// (fast_input or more), at a symbol's end. Walking an unresolved code may
// take bits up to the input's end. The careful loop decodes what is left.
lzh8_result decode_fast_run(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                            std::uint32_t size, std::uint32_t& q, std::uint32_t stop,
                            std::ptrdiff_t input_margin);

// The longest symbol's bits: a length code walks at most one node of
// each pair of slots after the root's (511), an offset code likewise
// (31), and 30 bits follow the offset code of k = 31.
const unsigned longest_symbol_bits = (length_slots - 2) / 2 + (offset_slots - 2) / 2 + (31 - 1);
static_assert(longest_symbol_bits == 511 + 31 + 30);

// ---- Decoding in lanes (lanes.cpp) ---------------------------------------

// How a stream may be decoded: on up to `threads` threads (0 for every
// core the process may use), and with lanes that start every `lane_bytes`
// bytes of input when that is not 0, which tests use to make small files
// cross many joins; and whether by the fast loop for any processor (see
// Lookups).
struct Threading {
    unsigned threads;
    std::size_t lane_bytes;
    bool portable_loop;
};

// The threads worth decoding the stream from stream to the input's end on
// in lanes, for an image of size bytes: 0 where lanes would not gain.
// With lane_bytes set, lanes are always used, on one thread or more.
unsigned lanes_worth(const std::uint8_t* stream, const std::uint8_t* end, std::uint32_t size,
                     const Threading& threading);

// Decodes the stream into the image in lanes on that many threads, with
// the result that decoding it whole on one gives. Throws std::bad_alloc,
// before any thread starts, when its buffers cannot be had.
lzh8_result decode_in_lanes(const std::uint8_t* stream, const std::uint8_t* end,
                            const Lookups& lookups, std::uint8_t* image, std::uint32_t size,
                            const Threading& threading, unsigned threads);

// lzh8_decode_detailed, or lzh8_decode_parallel with the threading given.
lzh8_result decode_detailed(const void* in, std::size_t in_size, void* out,
                            std::size_t out_capacity, std::size_t* out_size, lzh8_details* details,
                            const Threading& threading);

}  // namespace ostrel

#endif
