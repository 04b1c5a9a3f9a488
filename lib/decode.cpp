// Decoding an LZH8 file in memory into a caller's buffer.
//
// The header and both tables are read with every read checked. The bit
// stream is decoded by a fast loop beside a careful one. The fast loop
// runs while the input has 16 bytes left to load and the output room for
// three literals and a copy's overrun, checking a match for room only in
// the output's last bytes, and its distance only in the first 64 KiB: in
// it, the first bits of each code are looked up in tables built from the
// loaded trees, the 64-bit bit buffer is refilled without branches, and
// matches are copied 8 or 16 bytes at a time, running up to 31 bytes past
// their end. The careful loop decodes the rest one symbol at a time,
// refilling byte by byte and copying byte by byte, so that it neither
// reads past the input nor writes past the declared size. Wherever a code
// needs bits that are not buffered, or longer than the lookup resolves,
// the tree is walked a bit at a time; a bit the input does not have ends
// decoding as truncated, at the same code as a decoder reading the file
// one byte at a time would meet its end.
//
// Failures are reported in the order a reader from the file's start meets
// them: a short header, a wrong type byte, a short table, then whatever
// the stream holds first.
#include "format.h"

#include <ostrel/lzh8.h>

#include <algorithm>
#include <cstring>

namespace ostrel {
namespace {

// The fast loop's steps are inlined whatever the compiler's judgement of
// their size: with link-time optimization GCC left the match copy out of
// line, a call for every match (13% of decoding).
#define STEP inline __attribute__((always_inline))

// ---- Checked reads of the header and tables -----------------------------

struct Source {
    const std::uint8_t* bytes;
    std::size_t size;
    lzh8_details* details;  // or null
};

// Whether width bytes lie at offset; when they do not, that read is the
// one that came up short.
bool can_read(const Source& in, std::size_t offset, unsigned width)
{
    if (offset <= in.size && in.size - offset >= width)
        return true;
    if (in.details != nullptr)
        *in.details = {offset, width};
    return false;
}

std::uint32_t load_le(const std::uint8_t* p, unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

// The declared size and the header's length (4 or 8), or a failure.
lzh8_result read_header(const Source& in, std::uint32_t& size, std::size_t& header_bytes)
{
    if (!can_read(in, 0, 4))
        return LZH8_TRUNCATED;
    std::uint32_t header = load_le(in.bytes, 4);
    if ((header & 0xFF) != type_tag)
        return LZH8_NOT_LZH8;
    size = header >> 8;
    header_bytes = 4;
    if (size == 0) {
        if (!can_read(in, 4, 4))
            return LZH8_TRUNCATED;
        size = load_le(in.bytes + 4, 4);
        header_bytes = 8;
    }
    return LZH8_OK;
}

// A loaded tree: its slots (length entries are 9 bits, offset entries 5;
// both are kept in 16-bit slots), the last slot its loader filled, and its
// entry width. Slots beyond `filled` hold nothing.
struct Tree {
    std::uint16_t slots[length_slots];
    unsigned filled;
    unsigned entry_bits;
};

// Loads the entries of a table area of area_bytes bytes at offset area
// into slots 1, 2, ... for as long as bytes of the area remain unfetched,
// and no further than the last of slots. A reader fetches a byte only when
// it wants a bit of it, so the bytes fetched are the bits taken rounded
// up, and the last entry may run into the byte after the area (the next
// section is read from its own offset, so that is harmless). False when
// the input ends first: the area's first byte is read at its own offset,
// the rest in turn, so the read that comes up short is at the later of
// the area's start and the input's end.
bool load_table(const Source& in, std::size_t area, std::uint32_t area_bytes, unsigned slots,
                Tree& tree)
{
    const unsigned bits = tree.entry_bits;
    // The first count of entries whose bytes reach the area's last one.
    tree.filled = std::min(slots - 1, 8 * (area_bytes - 1) / bits + 1);
    const std::size_t fetched = (std::size_t{tree.filled} * bits + 7) / 8;
    if (!can_read(in, area, static_cast<unsigned>(fetched))) {
        if (in.details != nullptr)
            *in.details = {std::max(area, in.size), 1};
        return false;
    }
    const std::uint8_t* at = in.bytes + area;
    std::uint32_t buffer = 0;
    unsigned buffered = 0;
    for (unsigned slot = 1; slot <= tree.filled; slot++) {
        while (buffered < bits) {
            buffer = buffer << 8 | *at++;
            buffered += 8;
        }
        buffered -= bits;
        tree.slots[slot] = static_cast<std::uint16_t>(buffer >> buffered & ((1u << bits) - 1));
    }
    return true;
}

// One step of a walk: the slot that bit leads to from node, or 0 when that
// slot was never filled (or lies beyond the table). A bad branch is
// harmless until a walk takes it, so it is refused only then.
unsigned walk_step(const Tree& tree, unsigned node, unsigned bit, bool& leaf)
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
STEP unsigned taken_bits(std::uint32_t entry)
{
    return entry & taken_mask;
}

// The offset tree's leaf in an offset entry, or in a joined match entry.
STEP unsigned entry_k(std::uint32_t entry)
{
    return entry >> k_shift & k_mask;
}

// Where the walk of an unresolved entry's code goes on: a node's slot, or
// 0 for a branch outside the tree.
inline unsigned entry_node(std::uint32_t entry)
{
    return entry >> node_shift & node_mask;
}

std::uint32_t length_leaf(unsigned symbol, unsigned code_bits)
{
    std::uint32_t entry =
        (symbol & symbol_mask) << symbol_shift | code_bits << first_bits_shift | code_bits;
    return symbol >= literal_symbols ? entry | lookup_match : entry | one_literal;
}

std::uint32_t offset_leaf(unsigned k, unsigned code_bits)
{
    return k << k_shift | code_bits << first_bits_shift | (code_bits + following_bits(k));
}

// Fills the lookup entries of every code: leaves and bad slots within
// lookup_bits bits are resolved; longer codes stop at the node they reach.
// The tree is walked depth first from a stack of the nodes still to visit,
// each node's two children at once: the stack holds at most one node of
// each depth below lookup_bits, and one more.
template <std::uint32_t (*leaf_entry)(unsigned, unsigned)>
void fill_lookup(const Tree& tree, unsigned lookup_bits, std::uint32_t* lookup)
{
    struct Pending {
        unsigned node, depth, prefix;
    };
    Pending stack[length_lookup_bits + 1];
    unsigned pending = 0;
    stack[pending++] = {1, 0, 0};
    while (pending > 0) {
        const Pending at = stack[--pending];
        const unsigned entry = tree.slots[at.node], length = at.depth + 1;
        const unsigned spare = lookup_bits - length;
        for (unsigned bit = 0; bit < 2; bit++) {
            const unsigned child = child_slot(at.node, entry, tree.entry_bits, bit);
            const unsigned code = at.prefix << 1 | bit;
            std::uint32_t outcome;
            if (child > tree.filled)
                outcome = lookup_unresolved | length << first_bits_shift;
            else if ((entry & leaf_flag(tree.entry_bits, bit)) != 0)
                outcome = leaf_entry(tree.slots[child], length);
            else if (spare == 0)
                outcome = child << node_shift | lookup_unresolved | length << first_bits_shift;
            else {
                stack[pending++] = {child, length, code};
                continue;
            }
            std::uint32_t* first = lookup + (code << spare);
            std::fill(first, first + (1u << spare), outcome);
        }
    }
}

STEP bool is_literal(std::uint32_t entry)
{
    return (entry & (lookup_unresolved | lookup_match)) == 0;
}

// A lookup's entries come in runs, one for each code it resolves (or
// prefix it does not), of 2^(lookup_bits - the code's bits) entries. The
// bits of the shortest code whose entry wanted accepts, or more than
// lookup_bits when there is none.
template <typename Wanted>
unsigned shortest_code(const std::uint32_t* lookup, unsigned lookup_bits, Wanted wanted)
{
    unsigned shortest = lookup_bits + 1;
    for (std::uint32_t index = 0; index < 1u << lookup_bits;) {
        const std::uint32_t entry = lookup[index];
        const unsigned bits = first_code_bits(entry);
        if ((entry & lookup_unresolved) == 0 && wanted(entry))
            shortest = std::min(shortest, bits);
        index += 1u << (lookup_bits - bits);
    }
    return shortest;
}

// Joins to each literal entry the literal whose code follows it, and to
// each match entry the offset code that follows it, where that code ends
// within the looked-up bits: the entry for the bits after the first code,
// taken with zeros below, is that code's whenever it is no longer than
// the bits known. Entries are joined in place; the fields read from a
// second entry are the same joined or not. A code that leaves fewer bits
// than the shortest second code could take has its whole run passed over,
// so that the work goes by codes where nothing joins (most codes of
// binaries, whose literals are long).
void join_second_codes(std::uint32_t* length_lookup, unsigned length_bits,
                       const std::uint32_t* offset_lookup)
{
    const std::uint32_t mask = (1u << length_bits) - 1;
    const unsigned shortest_literal = shortest_code(length_lookup, length_bits, is_literal);
    const unsigned shortest_offset =
        shortest_code(offset_lookup, offset_lookup_bits, [](std::uint32_t) { return true; });
    for (std::uint32_t index = 0; index <= mask;) {
        const std::uint32_t first = length_lookup[index];
        const unsigned first_bits = first_code_bits(first), left = length_bits - first_bits;
        const std::uint32_t run_end = index + (1u << left);
        const bool literal = (first & lookup_match) == 0;
        if ((first & lookup_unresolved) != 0 ||
            left < (literal ? shortest_literal : shortest_offset)) {
            index = run_end;
            continue;
        }
        for (; index < run_end; index++) {
            const std::uint32_t rest = (index << first_bits) & mask;
            if (literal) {
                std::uint32_t second = length_lookup[rest];
                unsigned second_bits = first_code_bits(second);
                if (is_literal(second) && second_bits <= left)
                    length_lookup[index] = (first & first_code_fields) | 2 * one_literal |
                                           (second >> symbol_shift & symbol_mask) << second_shift |
                                           (first_bits + second_bits);
                continue;
            }
            std::uint32_t offset = offset_lookup[rest >> (length_bits - offset_lookup_bits)];
            unsigned offset_bits = first_code_bits(offset);
            if ((offset & lookup_unresolved) == 0 && offset_bits <= left) {
                const unsigned k = entry_k(offset), code_bits = first_bits + offset_bits;
                length_lookup[index] =
                    (first & (first_code_fields | lookup_match)) | lookup_joined | k << k_shift |
                    code_bits << joined_bits_shift | (code_bits + following_bits(k));
            }
        }
    }
}

// Whether every 8 bits of the stream are a literal's code that spells the
// literal itself: then the stream is the decoded bytes, to be copied, not
// decoded. The packer stores input that does not compress this way.
bool spells_its_literals(const std::uint32_t* length_lookup, unsigned length_bits)
{
    const unsigned spare = length_bits - 8;
    for (std::uint32_t index = 0; index < 1u << length_bits; index++)
        if (length_lookup[index] != length_leaf(index >> spare, 8))
            return false;
    return true;
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
STEP void refill_fast(Reader& reader)
{
    const unsigned count = reader.count & 63;
    reader.bits |= load_64_be(reader.next) >> count;
    reader.next += (63 - count) >> 3;
    reader.count = count | 56;
}

// Tops the buffer up as far as the input goes.
void refill(BitReader& reader)
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
int take_bit(BitReader& reader)
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
std::uint32_t take_bits_refilling(BitReader& reader, unsigned wanted, bool& ended)
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
int walk(BitReader& reader, const Tree& tree, unsigned node)
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
STEP std::uint32_t distance_from(unsigned k, std::uint64_t bits)
{
    const std::uint64_t implied = bits >> 1 | std::uint64_t{1} << 63;
    return static_cast<std::uint32_t>(implied >> 1 >> (63 - k) & 0xFFFF) + 1;
}

// Copies a match forward, in steps as wide as the distance allows. Every
// step reads only bytes already written: a step of w bytes starts at
// least w bytes ahead of its source. Writes run up to 31 bytes past the
// match, into bytes written again later or into room the fast loop keeps.
STEP void copy_match(std::uint8_t* to, std::uint32_t distance, std::uint32_t count)
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
STEP std::uint32_t match_length(std::uint32_t entry)
{
    return match_length_of(entry >> symbol_shift);
}

// Both trees with their lookup tables.
struct Lookups {
    const std::uint32_t* length_lookup;
    unsigned length_bits;
    const Tree& lengths;
    const std::uint32_t* offset_lookup;
    const Tree& offsets;
};

// The rest of a match whose length is known and whose length code is
// taken: its offset code, walked where the lookup does not resolve it, the
// bits that follow, and the copy. The careful loop cuts a match at the
// declared size and copies it byte by byte, forward, so that a distance
// shorter than the match repeats the bytes it has just made; elsewhere the
// image always has room for the fast copy.
template <bool careful>
lzh8_result finish_match(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                         std::uint32_t& q, std::uint32_t size, std::uint32_t length)
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
    std::uint32_t distance = distance_of_entry(offset, following);
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

// One symbol at q, the general path of both loops: a literal, or a match
// (see finish_match).
template <bool careful>
lzh8_result decode_symbol(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                          std::uint32_t& q, std::uint32_t size)
{
    std::uint32_t entry = decode_code<length_leaf>(reader, lookups.length_lookup,
                                                   lookups.length_bits, lookups.lengths);
    if (entry == bad_branch)
        return LZH8_CORRUPT_LENGTH_TREE;
    if (entry == input_ended)
        return LZH8_TRUNCATED;
    if ((entry & lookup_match) == 0) {
        image[q++] = static_cast<std::uint8_t>(entry >> symbol_shift);
        return LZH8_OK;
    }
    return finish_match<careful>(reader, lookups, image, q, size, match_length(entry));
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
STEP void take_entry(FastBits& fast, std::uint32_t entry)
{
    fast.bits <<= taken_bits(entry);
    fast.count -= entry;
}

template <unsigned length_bits>
STEP std::uint32_t next_length_entry(const FastBits& fast, const std::uint32_t* lookup)
{
    return lookup[fast.bits >> (64 - length_bits)];
}

// Both bytes of a literal entry are stored; a second that does not count
// is written over by the next symbol, or lies in the room the fast loop
// keeps.
STEP void put_literals(FastBits& fast, std::uint32_t entry, std::uint8_t*& out)
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
STEP bool put_three_literals(FastBits& fast, std::uint32_t& entry, const std::uint32_t* lookup,
                             std::uint8_t*& out)
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
STEP std::uint32_t take_joined_distance(FastBits& fast, std::uint32_t entry)
{
    refill_fast(fast);
    const unsigned code_bits = entry >> joined_bits_shift & joined_bits_mask;
    std::uint32_t distance = distance_from(entry_k(entry), fast.bits << code_bits);
    take_entry(fast, entry);
    return distance;
}

// The distance from an offset entry the lookup resolved, whose code
// stands at the top of the buffer. Takes the code and the following bits.
STEP std::uint32_t take_offset_distance(FastBits& fast, std::uint32_t offset)
{
    std::uint32_t distance = distance_from(entry_k(offset), fast.bits << first_code_bits(offset));
    take_entry(fast, offset);
    return distance;
}

// The fast loop. Each round starts with fast_input bytes of input left and
// room in the image for three literal entries and a copy's overrun, with
// the entry for the next bits already looked up: a refill keeps the
// buffered bits in place, so an entry stays good across one. Codes that
// the lookups do not resolve take the general path, which may leave fewer
// bits than a lookup needs: the next entry is then looked up after a
// refill, or the careful loop takes over near the input's end. The next
// entry is looked up before a match is copied, so that the load and the
// copy overlap. The loop's bit buffer is a local whose address is never
// taken, so that its fields can stay in registers, where the image's byte
// stores, which may alias anything in memory, would otherwise send them
// back to memory every time; it is handed back to `reader` for the calls
// that take one, and at the end. Decodes from q on while the input has
// room and q is below stop, which leaves the room that check_room asks
// for, and moves q on. check_start checks each match's distance against
// the bytes made; a loop that starts a whole window into the image needs
// no such check, since no distance is longer than the window.
template <unsigned length_bits, bool check_room, bool check_start>
lzh8_result decode_fast(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                        std::uint32_t size, std::uint32_t& q, std::uint32_t stop)
{
    if (q >= stop || reader.end - reader.next < fast_input)
        return LZH8_OK;
    const std::uint32_t* length_lookup = lookups.length_lookup;
    const std::uint32_t* offset_lookup = lookups.offset_lookup;
    const std::uint8_t* const input_last = reader.end - fast_input;
    std::uint8_t* out = image + q;
    std::uint8_t* const out_last = image + stop;
    const std::uint8_t* const image_end = image + size;
    FastBits fast = {reader.bits, reader.count, reader.next};
    auto hand_back = [&reader, &q, image](const FastBits& from, const std::uint8_t* at) {
        reader.bits = from.bits;
        reader.count = from.count & 63;
        reader.next = from.next;
        q = static_cast<std::uint32_t>(at - image);
    };
    refill_fast(fast);
    std::uint32_t entry = next_length_entry<length_bits>(fast, length_lookup);
    while (out < out_last && fast.next <= input_last) {
        refill_fast(fast);
        if (put_three_literals<length_bits>(fast, entry, length_lookup, out))
            continue;
        std::uint32_t distance = 0, length = match_length(entry);
        // A match near the image's end, or a code not yet known to be
        // one, is the careful loop's.
        if (check_room && ((entry & lookup_unresolved) != 0 ? max_match : length) + copy_overrun >
                              static_cast<std::uint32_t>(image_end - out))
            break;
        if ((entry & (lookup_unresolved | lookup_joined)) == lookup_joined) {
            distance = take_joined_distance(fast, entry);
        } else {
            std::uint32_t offset = 0;
            if ((entry & lookup_unresolved) == 0) {
                take_entry(fast, entry);
                refill_fast(fast);
                offset = offset_lookup[fast.bits >> (64 - offset_lookup_bits)];
            }
            if ((entry & lookup_unresolved) != 0 || (offset & lookup_unresolved) != 0) {
                // The general path, from the bits where the code stands.
                hand_back(fast, out);
                lzh8_result result =
                    (entry & lookup_unresolved) != 0
                        ? decode_symbol<false>(reader, lookups, image, q, size)
                        : finish_match<false>(reader, lookups, image, q, size, length);
                if (result != LZH8_OK || reader.end - reader.next < fast_input)
                    return result;
                fast = {reader.bits, reader.count, reader.next};
                out = image + q;
                refill_fast(fast);
                entry = next_length_entry<length_bits>(fast, length_lookup);
                continue;
            }
            distance = take_offset_distance(fast, offset);
        }
        entry = next_length_entry<length_bits>(fast, length_lookup);
        if (check_start && distance > static_cast<std::uint32_t>(out - image))
            return LZH8_MATCH_BEFORE_START;
        copy_match(out, distance, length);
        out += length;
    }
    hand_back(fast, out);
    return LZH8_OK;
}

// The fast loop in three stretches: in the image's first window, where a
// match may reach before its start; then, where no match can, up to where
// the image has room for any match; and in its last bytes, each match
// checked for room. Each stretch ends early where the input runs low, and
// the next then starts no loop.
template <unsigned length_bits>
lzh8_result decode_fast_stretches(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                                  std::uint32_t size, std::uint32_t& q)
{
    static_assert(window >= 65536, "a match reaches back 65536 bytes at most");
    const std::uint32_t unchecked_stop = size > unchecked_room ? size - unchecked_room : 0;
    const std::uint32_t checked_stop = size > checked_room ? size - checked_room : 0;
    lzh8_result result = decode_fast<length_bits, false, true>(reader, lookups, image, size, q,
                                                               std::min(unchecked_stop, window));
    if (result == LZH8_OK && q >= window)
        result =
            decode_fast<length_bits, false, false>(reader, lookups, image, size, q, unchecked_stop);
    if (result != LZH8_OK)
        return result;
    return decode_fast<length_bits, true, true>(reader, lookups, image, size, q, checked_stop);
}

// Kept out of line, apart from the table building: inlined there, its
// loops' registers and layout moved with every change to the tables'
// code (1% of instructions either way).
__attribute__((noinline)) lzh8_result decode_stream(BitReader& reader, const Lookups& lookups,
                                                    std::uint8_t* image, std::uint32_t size)
{
    std::uint32_t q = 0;
    lzh8_result result = LZH8_OK;
    switch (lookups.length_bits) {
    case 10: result = decode_fast_stretches<10>(reader, lookups, image, size, q); break;
    default: result = decode_fast_stretches<12>(reader, lookups, image, size, q); break;
    }
    // The careful loop: the same symbols, every read and write checked.
    while (result == LZH8_OK && q < size)
        result = decode_symbol<true>(reader, lookups, image, q, size);
    return result;
}

// The bits the length lookup takes for an image of size bytes: a table of
// 2^bits entries is built for every file, and a file of few symbols is
// decoded sooner with a smaller one, though more codes are then walked.
unsigned length_lookup_bits_for(std::uint32_t size)
{
    return size <= 32768 ? 10 : 12;
}

lzh8_result decode(const Source& in, std::uint8_t* out, std::size_t out_capacity,
                   std::size_t& out_size)
{
    std::uint32_t size = 0;
    std::size_t lengths_at = 0;
    lzh8_result header = read_header(in, size, lengths_at);
    if (header != LZH8_OK)
        return header;
    if (out_capacity < size) {
        out_size = size;
        return LZH8_OUTPUT_TOO_SMALL;
    }
    // W <= 0xFFFF and V <= 0xFF keep every section offset below 2^19.
    if (!can_read(in, lengths_at, 2))
        return LZH8_TRUNCATED;
    std::uint32_t w = load_le(in.bytes + lengths_at, 2);
    Tree lengths, offsets;
    lengths.entry_bits = length_entry_bits;
    offsets.entry_bits = offset_entry_bits;
    if (!load_table(in, lengths_at + 2, 4 * w + 2, length_slots, lengths))
        return LZH8_TRUNCATED;
    std::size_t offsets_at = lengths_at + 4 * w + 4;
    if (!can_read(in, offsets_at, 1))
        return LZH8_TRUNCATED;
    std::uint32_t v = in.bytes[offsets_at];
    if (!load_table(in, offsets_at + 1, 4 * v + 3, offset_slots, offsets))
        return LZH8_TRUNCATED;
    std::size_t stream_at = offsets_at + 4 * v + 4;
    if (size > 0) {
        // The first symbol takes a bit, read at the stream's own offset.
        if (!can_read(in, stream_at, 1))
            return LZH8_TRUNCATED;
        std::uint32_t length_lookup[1 << length_lookup_bits];
        std::uint32_t offset_lookup[1 << offset_lookup_bits];
        const unsigned length_bits = length_lookup_bits_for(size);
        fill_lookup<length_leaf>(lengths, length_bits, length_lookup);
        // A stored stream that the input holds whole is copied (a shorter
        // one is decoded, to meet its end where a reader would).
        if (spells_its_literals(length_lookup, length_bits) && in.size - stream_at >= size) {
            std::memcpy(out, in.bytes + stream_at, size);
        } else {
            fill_lookup<offset_leaf>(offsets, offset_lookup_bits, offset_lookup);
            join_second_codes(length_lookup, length_bits, offset_lookup);
            const Lookups lookups = {length_lookup, length_bits, lengths, offset_lookup, offsets};
            BitReader reader = {0, 0, in.bytes + stream_at, in.bytes + in.size};
            lzh8_result result = decode_stream(reader, lookups, out, size);
            if (result == LZH8_TRUNCATED && in.details != nullptr)
                *in.details = {in.size, 1};
            if (result != LZH8_OK)
                return result;
        }
    }
    out_size = size;
    return LZH8_OK;
}

#undef STEP

}  // namespace
}  // namespace ostrel

lzh8_result lzh8_decoded_size(const void* in, size_t in_size, size_t* size)
{
    if (size == nullptr || (in == nullptr && in_size != 0))
        return LZH8_BAD_ARGUMENT;
    *size = 0;
    std::uint32_t declared = 0;
    std::size_t header_bytes = 0;
    const ostrel::Source source = {static_cast<const std::uint8_t*>(in), in_size, nullptr};
    lzh8_result result = ostrel::read_header(source, declared, header_bytes);
    if (result == LZH8_OK)
        *size = declared;
    return result;
}

lzh8_result lzh8_decode_detailed(const void* in, size_t in_size, void* out, size_t out_capacity,
                                 size_t* out_size, lzh8_details* details)
{
    if (details != nullptr)
        *details = {0, 0};
    if (out_size == nullptr || (in == nullptr && in_size != 0) ||
        (out == nullptr && out_capacity != 0))
        return LZH8_BAD_ARGUMENT;
    *out_size = 0;
    const ostrel::Source source = {static_cast<const std::uint8_t*>(in), in_size, details};
    return ostrel::decode(source, static_cast<std::uint8_t*>(out), out_capacity, *out_size);
}

lzh8_result lzh8_decode(const void* in, size_t in_size, void* out, size_t out_capacity,
                        size_t* out_size)
{
    return lzh8_decode_detailed(in, in_size, out, out_capacity, out_size, nullptr);
}
