// ostrel: decodes one LZH8-compressed file into its plain bytes.
//
// An LZH8 file, all numbers little-endian, sections back to back, each a
// multiple of 4 bytes long:
//
//   header      0x40, then the decoded size in 24 bits; when those are zero,
//               the size follows as a 32-bit word (an 8-byte header)
//   lengths     W (16 bits), then 9-bit entries of the length tree,
//               (W + 1) * 4 bytes in all
//   offsets     V (8 bits), then 5-bit entries of the offset tree,
//               (V + 1) * 4 bytes in all
//   bit stream  the codes of literals and matches, as far as decoding needs
//
// Every packed area is read most significant bit first and starts on a byte
// of its own. A tree is an array of slots; slot 1 is the root, and nodes sit
// in pairs (slots 2p and 2p + 1 form pair p). A node entry holds two leaf
// flags and a child offset c: the children of a node in pair p are the pair
// p + c + 1, so a child always lies after its parent. A length-tree leaf is
// a literal byte (0..255) or a match length (256..511 mean 3..258); an
// offset-tree leaf is the bit length k of the match displacement d, whose
// top bit is implied and whose other k - 1 bits follow the code.

#include "files.h"
#include "util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const unsigned length_slots = 1024;  // slot 0 unused, entries fill 1..1023
const unsigned offset_slots = 64;    // slot 0 unused, entries fill 1..63
const unsigned length_entry_bits = 9;
const unsigned offset_entry_bits = 5;

// The test suite builds a second binary with the reference decoder alone,
// to hold the fast one to it.
#ifdef OSTREL_EXACT_DECODER
const bool use_exact_decoder = true;
#else
const bool use_exact_decoder = false;
#endif

// Takes a count-bit value (count <= 16), first bit most significant. `byte`
// is the last byte fetched and `left` how many of its low bits are untaken.
// An area's first byte is fetched by its caller at the area's own offset;
// the bytes after it follow at the stream's position, which already stands
// there (a seek per byte costs a system call per byte).
unsigned take_bits(std::FILE* input, unsigned& byte, unsigned& left, unsigned count)
{
    unsigned value = 0;
    while (count > 0) {
        if (left == 0) {
            byte = get_byte(input);
            left = 8;
        }
        unsigned taken = left < count ? left : count;
        left -= taken;
        count -= taken;
        value = value << taken | (byte >> left & ((1u << taken) - 1));
    }
    return value;
}

// Loads entries into slots 1, 2, ... for as long as bytes of the section
// are still unfetched, and no further than the last slot. A section whose
// entry area is not a whole number of entries lets its last entry run into
// the byte after the section; the next section is read from its own offset,
// so that is harmless. Returns the last slot filled.
template <typename Slot>
unsigned load_table(std::FILE* input, std::int32_t area, std::uint32_t area_bytes,
                    unsigned entry_bits, Slot* table, unsigned slots)
{
    unsigned byte = get_byte_seek(area, input), left = 8;
    for (unsigned slot = 1;; slot++) {
        table[slot] = static_cast<Slot>(take_bits(input, byte, left, entry_bits));
        // The area starts on a byte boundary and bytes are fetched only
        // when a bit is wanted, so the bytes fetched are the bits taken,
        // rounded up.
        std::uint32_t fetched = (slot * entry_bits + 7) / 8;
        if (fetched >= area_bytes || slot + 1 == slots)
            return slot;
    }
}

// A loaded tree: its slots (length entries are 9 bits, offset entries 5;
// both are kept in 16-bit slots), the last slot its loader filled, and its
// entry width.
struct Tree {
    const std::uint16_t* slots;
    unsigned filled;
    unsigned entry_bits;
};

// The slot that bit leads to from the node in slot node holding entry: the
// children lie in pair (node >> 1) + c + 1, with c the entry's low bits (7
// of a length entry, 3 of an offset entry).
unsigned child_slot(const Tree& tree, unsigned node, unsigned entry, unsigned bit)
{
    const unsigned offset_mask = (1u << (tree.entry_bits - 2)) - 1;  // 0x7F or 0x07
    return 2 * ((node >> 1) + (entry & offset_mask) + 1) + bit;
}

// Whether that child is a leaf: the entry's top bit flags child 0, the
// next bit child 1 (0x100 and 0x80, or 0x10 and 0x08).
bool child_is_leaf(const Tree& tree, unsigned entry, unsigned bit)
{
    return entry & (1u << (tree.entry_bits - 1 - bit));
}

// One step of a walk: the slot the bit leads to from node, or 0 when that
// slot was never filled (or lies beyond the table). A bad branch is
// harmless until a walk takes it, so it is refused only then.
unsigned walk_step(const Tree& tree, unsigned node, unsigned bit, bool& leaf)
{
    unsigned entry = tree.slots[node];
    unsigned child = child_slot(tree, node, entry, bit);
    leaf = child_is_leaf(tree, entry, bit);
    return child > tree.filled ? 0 : child;
}

// Why a stream is refused; decoding a valid stream returns `nullptr`.
const char* const corrupt_lengths = "corrupt length tree";
const char* const corrupt_offsets = "corrupt offset tree";
const char* const before_start = "match before start of output";

// d has an implied top bit and k - 1 bits that follow; only its low 16
// bits count, so a copy reaches back 1 to 65536 bytes.
std::uint32_t distance_of(unsigned k, std::uint32_t following)
{
    return k == 0 ? 1 : (((1u << (k - 1)) | following) & 0xFFFF) + 1;
}

// The reference decoder: one byte per checked read, one table read per
// bit, one byte copied at a time.
unsigned take_bit_exact(std::FILE* input, unsigned& byte, unsigned& left)
{
    return take_bits(input, byte, left, 1);
}

int walk_exact(std::FILE* input, unsigned& byte, unsigned& left, const Tree& tree)
{
    for (unsigned node = 1;;) {
        bool leaf;
        unsigned child = walk_step(tree, node, take_bit_exact(input, byte, left), leaf);
        if (child == 0)
            return -1;
        if (leaf)
            return tree.slots[child];
        node = child;
    }
}

const char* decode_symbols_exact(std::FILE* input, std::int32_t stream_at, std::uint8_t* image,
                                 std::uint32_t size, const Tree& lengths, const Tree& offsets)
{
    unsigned byte = get_byte_seek(stream_at, input), left = 8;
    for (std::uint32_t q = 0; q < size;) {
        int symbol = walk_exact(input, byte, left, lengths);
        if (symbol < 0)
            return corrupt_lengths;
        if (symbol < 256) {
            image[q++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint32_t length = (symbol & 0xFF) + 3;
        int k = walk_exact(input, byte, left, offsets);
        if (k < 0)
            return corrupt_offsets;
        std::uint32_t following = 0;
        for (int bit = 1; bit < k; bit++)
            following = following << 1 | take_bit_exact(input, byte, left);
        std::uint32_t distance = distance_of(static_cast<unsigned>(k), following);
        if (distance > q)
            return before_start;
        // Forward, byte by byte: a distance shorter than the match repeats
        // the bytes it has just made. A match is cut at the declared size.
        for (std::uint32_t end = q + std::min(length, size - q); q < end; q++)
            image[q] = image[q - distance];
    }
    return nullptr;
}

// ---- The fast decoder ---------------------------------------------------
//
// The same decoding, sped up: the input is read in 64 KiB blocks into a
// 64-bit bit buffer; the first bits of each code are looked up in a table
// built from the loaded tree; matches are copied 8 or 16 bytes at a time,
// running past their end into slack after the image. A fast loop runs
// while the block has 8 bytes to load and the image room for the longest
// match, with no other checks; a careful loop finishes the rest. Wherever a
// code needs bits that are not buffered, the bit-at-a-time walk takes
// over, and a bit the input does not have is asked of the checked byte
// reader, which reports the end of the input exactly as the reference
// decoder does, at the same code.

const unsigned length_lookup_bits = 12;
const unsigned offset_lookup_bits = 8;
const std::uint32_t input_block = 1 << 16;
const std::uint32_t longest_match = 258;
const std::uint32_t image_slack = 16;  // a copy runs at most 15 bytes past its end

// A lookup table maps the next `lookup_bits` bits of the stream to what
// they begin. Its 32-bit entries, for both trees:
//
//   bits 0-4    how many bits the first code takes (for a node or a bad
//               branch: how many bits lead there)
//   bit 5       the code is not resolved here: bits 8-17 hold the node it
//               goes on from, or 0 for a branch outside the tree
//   bits 8-     the outcome:
//     length tree   bits 8-15 the literal, or the match length less 3 when
//                   bit 6 is set; bit 7 set when a second literal's code
//                   follows within the looked-up bits, bits 16-23 holding
//                   it; bits 24-28 the bits both literals take
//     offset tree   bits 8-12 the count of following bits, bits 16-31 the
//                   displacement's implied top bit, cut to 16 bits
//
// so a literal entry is written out as the two bytes from bit 8, of which
// the second counts only when bit 7 says so.
const std::uint32_t lookup_unresolved = 1 << 5;
const std::uint32_t lookup_match = 1 << 6;
const std::uint32_t lookup_pair = 1 << 7;

std::uint32_t length_leaf(unsigned symbol, unsigned code_bits)
{
    std::uint32_t entry = (symbol & 0xFF) << 8 | code_bits << 24 | code_bits;
    return symbol >= 256 ? entry | lookup_match : entry;
}

std::uint32_t offset_leaf(unsigned k, unsigned code_bits)
{
    std::uint32_t top = k == 0 ? 0 : (std::uint32_t{1} << (k - 1)) & 0xFFFF;
    unsigned following = k > 1 ? k - 1 : 0;
    return top << 16 | following << 8 | code_bits;
}

// Fills the lookup entries of every code that starts with the depth bits of
// prefix, which lead to node: leaves and bad slots within lookup_bits bits
// are resolved; longer codes stop at the node they reach.
void fill_lookup(const Tree& tree, unsigned lookup_bits, std::uint32_t* lookup,
                 std::uint32_t (*leaf_entry)(unsigned, unsigned), unsigned node, unsigned depth,
                 unsigned prefix)
{
    for (unsigned bit = 0; bit < 2; bit++) {
        bool leaf;
        unsigned child = walk_step(tree, node, bit, leaf);
        unsigned code = prefix << 1 | bit, length = depth + 1;
        std::uint32_t outcome;
        if (child == 0)
            outcome = lookup_unresolved | length;
        else if (leaf)
            outcome = leaf_entry(tree.slots[child], length);
        else if (length == lookup_bits)
            outcome = child << 8 | lookup_unresolved | length;
        else {
            fill_lookup(tree, lookup_bits, lookup, leaf_entry, child, length, code);
            continue;
        }
        unsigned spare = lookup_bits - length;
        std::fill_n(lookup + (code << spare), 1u << spare, outcome);
    }
}

bool is_literal(std::uint32_t entry)
{
    return (entry & (lookup_unresolved | lookup_match)) == 0;
}

// Joins to each literal entry the literal whose code follows it, where
// that code ends within the looked-up bits: the entry for the bits after
// the first code, taken with zeros below, is that code's whenever it is no
// longer than the bits known. Entries are joined in place; the fields read
// from a second entry (bits 0-15) are the same joined or not.
void pair_literals(std::uint32_t* lookup, unsigned lookup_bits)
{
    const std::uint32_t mask = (1u << lookup_bits) - 1;
    for (std::uint32_t index = 0; index <= mask; index++) {
        std::uint32_t first = lookup[index];
        unsigned first_bits = first & 31;
        if (!is_literal(first))
            continue;
        std::uint32_t second = lookup[(index << first_bits) & mask];
        unsigned second_bits = second & 31;
        if (!is_literal(second) || first_bits + second_bits > lookup_bits)
            continue;
        lookup[index] = (first & 0xFFFF) | lookup_pair | (second >> 8 & 0xFF) << 16 |
                        (first_bits + second_bits) << 24;
    }
}

std::uint64_t load_64_be(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

// The bit buffer holds its `count` untaken bits at its top, next bit first;
// below them lie zeros or the stream's following bits in their places,
// never anything else, so loading more may OR over them. `next` to `end`
// are the block's bytes not yet loaded; `unread` counts the input's bytes
// after the block.
struct BitReader {
    std::FILE* input;
    std::uint64_t bits;
    unsigned count;
    const std::uint8_t* next;
    const std::uint8_t* end;
    std::uint64_t unread;
    std::uint8_t* block;  // input_block bytes
};

// Tops the buffer up to 56 bits or more from 8 bytes of the block: the
// whole bytes that fit are taken, so `count` + 8 * taken is 56 + (`count` &
// 7), which is `count` | 56 for any `count` below 64. Bits of the last byte
// loaded that do not count yet are that byte's, in their places.
inline void refill_fast(BitReader& reader)
{
    reader.bits |= load_64_be(reader.next) >> reader.count;
    reader.next += (63 - reader.count) >> 3;
    reader.count |= 56;
}

// Moves the block's unloaded bytes to its front and reads after them as
// much of the input as fits.
void top_up(BitReader& reader)
{
    auto left = static_cast<std::uint32_t>(reader.end - reader.next);
    std::memmove(reader.block, reader.next, left);
    std::uint32_t wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(reader.unread, input_block - left));
    get_bytes(reader.input, reader.block + left, wanted);
    reader.unread -= wanted;
    reader.next = reader.block;
    reader.end = reader.block + left + wanted;
}

// Tops the buffer up as far as the input goes.
void refill(BitReader& reader)
{
    if (reader.end - reader.next < 8 && reader.unread > 0)
        top_up(reader);
    if (reader.end - reader.next >= 8) {
        refill_fast(reader);
        return;
    }
    while (reader.count <= 56 && reader.next < reader.end) {
        reader.bits |= std::uint64_t{*reader.next++} << (56 - reader.count);
        reader.count += 8;
    }
}

// One bit. Past the end of the input it is asked of `get_byte`, which meets
// the end and reports it, as the reference decoder's read would.
unsigned take_bit(BitReader& reader)
{
    if (reader.count == 0) {
        refill(reader);
        if (reader.count == 0) {
            reader.bits = std::uint64_t{get_byte(reader.input)} << 56;
            reader.count = 8;
        }
    }
    auto bit = static_cast<unsigned>(reader.bits >> 63);
    reader.bits <<= 1;
    reader.count--;
    return bit;
}

// wanted bits (1 to 31) when fewer are buffered: refilled, or taken one
// at a time as far as the input has them.
std::uint32_t take_bits_refilling(BitReader& reader, unsigned wanted)
{
    refill(reader);
    if (reader.count >= wanted) {
        auto value = static_cast<std::uint32_t>(reader.bits >> (64 - wanted));
        reader.bits <<= wanted;
        reader.count -= wanted;
        return value;
    }
    std::uint32_t value = 0;
    while (wanted-- > 0)
        value = value << 1 | take_bit(reader);
    return value;
}

// wanted bits (at most 31), first most significant.
inline std::uint32_t take_bits(BitReader& reader, unsigned wanted)
{
    if (wanted == 0)
        return 0;
    if (reader.count < wanted)
        return take_bits_refilling(reader, wanted);
    auto value = static_cast<std::uint32_t>(reader.bits >> (64 - wanted));
    reader.bits <<= wanted;
    reader.count -= wanted;
    return value;
}

int walk(BitReader& reader, const Tree& tree, unsigned node)
{
    for (;;) {
        bool leaf;
        unsigned child = walk_step(tree, node, take_bit(reader), leaf);
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
// the entry is made for the leaf the walk ends at. 0 means a bad branch
// (no real entry is 0: every code takes a bit).
template <std::uint32_t (*leaf_entry)(unsigned, unsigned)>
std::uint32_t decode_code(BitReader& reader, const std::uint32_t* lookup, unsigned lookup_bits,
                          const Tree& tree)
{
    if (reader.count < lookup_bits)
        refill(reader);
    std::uint32_t entry = lookup[reader.bits >> (64 - lookup_bits)];
    unsigned used = entry & 31;
    unsigned node = 1;
    if (used <= reader.count) {
        reader.bits <<= used;
        reader.count -= used;
        if ((entry & lookup_unresolved) == 0)
            return entry;
        node = entry >> 8 & 0x3FF;
        if (node == 0)
            return 0;
    }
    int value = walk(reader, tree, node);
    return value < 0 ? 0 : leaf_entry(static_cast<unsigned>(value), 1);
}

// The count of bits that follow an offset entry's code.
inline unsigned following_bits(std::uint32_t offset)
{
    return offset >> 8 & 31;
}

// A match's distance from its offset entry and the bits that followed.
inline std::uint32_t distance_of_entry(std::uint32_t offset, std::uint32_t following)
{
    return ((offset >> 16 | following) & 0xFFFF) + 1;
}

// The same from the bits at the top of the buffer, just after the code:
// shifting right by one and then by 63 - n takes n bits, none when n is 0,
// with no shift of 64.
inline std::uint32_t distance_from(std::uint32_t offset, std::uint64_t bits)
{
    unsigned n = following_bits(offset);
    return distance_of_entry(offset, static_cast<std::uint32_t>(bits >> 1 >> (63 - n)));
}

// A match's distance: its offset code, then the bits that follow; 0 when
// the code leads outside the offset tree.
inline std::uint32_t decode_distance(BitReader& reader, const std::uint32_t* offset_lookup,
                                     const Tree& offsets)
{
    std::uint32_t offset =
        decode_code<offset_leaf>(reader, offset_lookup, offset_lookup_bits, offsets);
    if (offset == 0)
        return 0;
    return distance_of_entry(offset, take_bits(reader, following_bits(offset)));
}

// Copies a match forward, in steps as wide as the distance allows. Every
// step reads only bytes already written: a step of w bytes starts at least
// w bytes ahead of its source. Writes run up to 15 bytes past the match,
// into bytes written again later or into the slack after the image.
inline void copy_match(std::uint8_t* to, std::uint32_t distance, std::uint32_t count)
{
    const std::uint8_t* from = to - distance;
    std::uint8_t* const end = to + count;
    if (distance >= 16) {
        do {
            std::memcpy(to, from, 16);
            to += 16;
            from += 16;
        } while (to < end);
    } else if (distance >= 8) {
        do {
            std::memcpy(to, from, 8);
            to += 8;
            from += 8;
        } while (to < end);
    } else if (distance == 1) {
        std::memset(to, *from, count);
    } else {
        // Distances 2 to 7: the bytes repeat with the distance as period, so
        // a source any multiple of it back holds the same bytes. Once one
        // at least 8 back has been written byte by byte, 8 bytes at a time
        // copy from there.
        std::uint32_t step = distance * ((8 + distance - 1) / distance);
        std::uint8_t* widened = to + std::min(step, count);
        for (; to < widened; to++)
            *to = *(to - distance);
        for (; to < end; to += 8)
            std::memcpy(to, to - step, 8);
    }
}

// The match's length from its length entry.
inline std::uint32_t match_length(std::uint32_t entry)
{
    return (entry >> 8 & 0xFF) + 3u;
}

// Both trees with their lookup tables.
struct Lookups {
    const std::uint32_t* length_lookup;
    const Tree& lengths;
    const std::uint32_t* offset_lookup;
    const Tree& offsets;
};

// Whether every 8 bits of the stream are a literal's code that spells the
// literal itself: then the stream is the decoded bytes, to be copied, not
// decoded. The packer stores input that does not compress this way.
bool spells_its_literals(const std::uint32_t* length_lookup)
{
    const unsigned spare = length_lookup_bits - 8;
    for (std::uint32_t index = 0; index < 1u << length_lookup_bits; index++)
        if (length_lookup[index] != length_leaf(index >> spare, 8))
            return false;
    return true;
}

// One symbol at q, the general path of both loops: a literal, or a match,
// which the careful loop cuts at the declared size (in the fast loop the
// image always has room for it).
// Returns the reason for refusing the stream, or `nullptr`.
template <bool careful>
const char* decode_symbol(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                          std::uint32_t& q, std::uint32_t size)
{
    std::uint32_t entry = decode_code<length_leaf>(reader, lookups.length_lookup,
                                                   length_lookup_bits, lookups.lengths);
    if (entry == 0)
        return corrupt_lengths;
    if ((entry & lookup_match) == 0) {
        image[q++] = static_cast<std::uint8_t>(entry >> 8);
        return nullptr;
    }
    std::uint32_t distance = decode_distance(reader, lookups.offset_lookup, lookups.offsets);
    if (distance == 0)
        return corrupt_offsets;
    if (distance > q)
        return before_start;
    std::uint32_t length = match_length(entry);
    if (careful)
        length = std::min(length, size - q);
    copy_match(image + q, distance, length);
    q += length;
    return nullptr;
}

// block is input_block bytes, kept off the stack, which may be small.
const char* decode_symbols_fast(std::FILE* input, std::int32_t stream_at,
                                std::uint64_t input_length, std::uint8_t* image, std::uint32_t size,
                                const Tree& lengths, const Tree& offsets, std::uint8_t* block)
{
    std::uint32_t length_lookup[1 << length_lookup_bits];
    std::uint32_t offset_lookup[1 << offset_lookup_bits];
    fill_lookup(lengths, length_lookup_bits, length_lookup, length_leaf, 1, 0, 0);
    // A stored stream that the input holds whole is read straight into the
    // image (a shorter one is decoded, to meet its end where the reference
    // decoder would).
    if (spells_its_literals(length_lookup) && input_length >= std::uint64_t(stream_at) + size) {
        image[0] = get_byte_seek(stream_at, input);
        get_bytes(input, image + 1, size - 1);
        return nullptr;
    }
    pair_literals(length_lookup, length_lookup_bits);
    fill_lookup(offsets, offset_lookup_bits, offset_lookup, offset_leaf, 1, 0, 0);
    const Lookups lookups = {length_lookup, lengths, offset_lookup, offsets};

    // The stream's first byte is read at its own offset; the rest follows
    // in blocks, never past the input's end.
    BitReader reader = {
        input, std::uint64_t{get_byte_seek(stream_at, input)} << 56, 8, block, block, 0, block};
    std::uint64_t after_first = std::uint64_t(stream_at) + 1;
    reader.unread = input_length > after_first ? input_length - after_first : 0;

    std::uint32_t q = 0;
    // The fast loop. Each round starts with 16 bytes of the block left, so
    // it may refill twice (a refill moves on at most 7 bytes and reads 8),
    // and with room in the image for three literal entries (6 bytes) and a
    // whole match after them. A refill leaves 56 bits or more: enough for
    // three literal entries of up to 12 bits, and after the second refill
    // for a match, whose length code (12 bits), offset code (8) and
    // following bits (30) take 50 at most when the lookups resolve them.
    // Anything else takes the general path, which finds its bits there too.
    // The loop's reader is a copy whose address is never taken, so that
    // its fields can stay in registers; it is handed back to `reader` for
    // the calls that take one.
    const std::uint32_t fast_until = size > longest_match + 8 ? size - longest_match - 8 : 0;
    BitReader fast = reader;
    while (q < fast_until) {
        if (fast.end - fast.next < 16) {
            if (fast.unread == 0)
                break;
            reader = fast;
            top_up(reader);
            fast = reader;
            if (fast.end - fast.next < 16)
                break;
        }
        refill_fast(fast);
        std::uint32_t entry = length_lookup[fast.bits >> (64 - length_lookup_bits)];
        for (int n = 0; n < 3 && is_literal(entry); n++) {
            // Both bytes are stored; a second that does not count is
            // written over by the next symbol, or lies in the slack.
            auto pair = static_cast<std::uint16_t>(entry >> 8);
            std::memcpy(image + q, &pair, 2);
            q += 1 + (entry >> 7 & 1);
            unsigned used = entry >> 24;
            fast.bits <<= used;
            fast.count -= used;
            entry = length_lookup[fast.bits >> (64 - length_lookup_bits)];
        }
        if (is_literal(entry))
            continue;
        // A refill keeps the buffered bits in place, so entry stays good.
        refill_fast(fast);
        unsigned length_bits = entry & 31;
        std::uint32_t offset = offset_lookup[fast.bits << length_bits >> (64 - offset_lookup_bits)];
        if (((entry | offset) & lookup_unresolved) == 0) {
            unsigned code_bits = length_bits + (offset & 31);
            std::uint32_t distance = distance_from(offset, fast.bits << code_bits);
            unsigned used = code_bits + following_bits(offset);
            fast.bits <<= used;
            fast.count -= used;
            if (distance > q)
                return before_start;
            std::uint32_t length = match_length(entry);
            copy_match(image + q, distance, length);
            q += length;
            continue;
        }
        reader = fast;
        if (const char* refusal = decode_symbol<false>(reader, lookups, image, q, size))
            return refusal;
        fast = reader;
    }
    reader = fast;
    // The careful loop: the same symbols, every read checked.
    while (q < size)
        if (const char* refusal = decode_symbol<true>(reader, lookups, image, q, size))
            return refusal;
    return nullptr;
}

// Where the image goes. An output that is a regular file of one link, in
// a directory that takes a temporary file, is replaced whole: the image is
// written to a temporary file beside it, which is renamed over it once
// complete and closed. Any other output is written in place and then cut
// to the image's length; standard output, named by any of its names, is
// written as it stands, neither opened afresh nor cut.
struct Output {
    std::FILE* stream;
    std::string replaced;  // the file the temporary replaces, links followed
    bool via_temporary;
    bool cut;
};

// Opens path as the output; false, with errno set, when it cannot be
// opened or created. A new output is created empty here, before any
// decoding, and an existing one is left as it is; a symbolic link stays a
// link, and the file it leads to is the output.
bool open_output(const char* path, Output& output)
{
    output = {stdout, "", false, false};
    if (names_standard_output(path))
        return true;
    std::string target;
    bool followed = follow_links(path, target);
    int fd = open(followed ? target.c_str() : path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat existing;
    if (fd < 0 || fstat(fd, &existing) != 0)
        return false;
    if (followed && S_ISREG(existing.st_mode) && existing.st_nlink == 1 &&
        replaceable(target, existing)) {
        int temporary = create_temporary(target);
        if (temporary >= 0 && take_attributes(temporary, &existing)) {
            close(fd);
            output = {fdopen(temporary, "wb"), target, true, false};
            return output.stream != nullptr;
        }
        if (temporary >= 0)
            discard_temporary(temporary);
    }
    output = {fdopen(fd, "wb"), "", false, S_ISREG(existing.st_mode)};
    return output.stream != nullptr;
}

// Faulting the image in page by page is a large share of decoding: each
// 4 KiB page's first write traps into the kernel. An image of 1.5 MiB or
// more starts on a 2 MiB page and asks for huge pages over as many as it
// fills, and over the last, partly filled one too when the image leaves at
// most a quarter of it unused, which keeps memory within half a MiB of the
// image's size. The block the image is placed in is allocated a huge page
// larger; only the pages the image takes are ever touched. Returns the
// bytes of huge pages, 0 for a smaller image.
std::size_t image_huge_part(std::size_t image_bytes)
{
    return (image_bytes + huge_page_size / 4) & ~(huge_page_size - 1);
}

std::uint8_t* place_on_huge_page(void* block)
{
    auto at = reinterpret_cast<std::uintptr_t>(block);
    return reinterpret_cast<std::uint8_t*>((at + huge_page_size - 1) & ~(huge_page_size - 1));
}

}  // namespace

void analyze_LZH8(std::FILE* input, std::FILE* output)
{
    std::uint32_t header = get_32_le_seek(0, input);
    if ((header & 0xFF) != 0x40)
        REPORT_FAILURE("not LZH8");
    std::uint32_t size = header >> 8;
    std::int32_t lengths_at = 4;
    if (size == 0) {
        size = get_32_le_seek(4, input);
        lengths_at = 8;
    }
    // The slack lets the fast decoder's copies run past the last match; it
    // also makes an empty image a block like any other.
    const std::size_t image_bytes = std::size_t{size} + image_slack;
    std::size_t huge_part = image_huge_part(image_bytes);
    void* block = std::malloc(huge_part > 0 ? std::max(huge_part, image_bytes) + huge_page_size
                                            : image_bytes);
    if (block == nullptr)
        REPORT_CALL_FAILURE("malloc");
    auto* image = static_cast<std::uint8_t*>(block);
    if (huge_part > 0) {
        image = place_on_huge_page(block);
        prefer_huge_pages(image, huge_part);
    }
    // The rest, less than 1.5 MiB whatever the declared size, is made
    // present at once.
    if (image_bytes > huge_part)
        fault_in_pages(image + huge_part, image_bytes - huge_part);

    // W <= 0xFFFF and V <= 0xFF keep every section offset below 2^19.
    std::uint32_t w = get_16_le_seek(lengths_at, input);
    auto* lengths = static_cast<std::uint16_t*>(std::malloc(length_slots * sizeof(std::uint16_t)));
    if (lengths == nullptr)
        REPORT_CALL_FAILURE("malloc");
    unsigned lengths_filled =
        load_table(input, lengths_at + 2, 4 * w + 2, length_entry_bits, lengths, length_slots);

    std::int32_t offsets_at = lengths_at + static_cast<std::int32_t>(4 * w + 4);
    std::uint32_t v = get_byte_seek(offsets_at, input);
    auto* offsets = static_cast<std::uint16_t*>(std::malloc(offset_slots * sizeof(std::uint16_t)));
    if (offsets == nullptr)
        REPORT_CALL_FAILURE("malloc");
    unsigned offsets_filled =
        load_table(input, offsets_at + 1, 4 * v + 3, offset_entry_bits, offsets, offset_slots);

    std::int32_t stream_at = offsets_at + static_cast<std::int32_t>(4 * v + 4);
    if (size > 0) {
        // The fast decoder reads the input in blocks up to its end.
        if (std::fseek(input, 0, SEEK_END) != 0)
            REPORT_CALL_FAILURE("fseek");
        long input_length = std::ftell(input);
        if (input_length == -1)
            REPORT_CALL_FAILURE("ftell");
        auto* block = static_cast<std::uint8_t*>(std::malloc(input_block));
        if (block == nullptr)
            REPORT_CALL_FAILURE("malloc");
        const Tree length_tree = {lengths, lengths_filled, length_entry_bits};
        const Tree offset_tree = {offsets, offsets_filled, offset_entry_bits};
        const char* refusal =
            use_exact_decoder
                ? decode_symbols_exact(input, stream_at, image, size, length_tree, offset_tree)
                : decode_symbols_fast(input, stream_at, static_cast<std::uint64_t>(input_length),
                                      image, size, length_tree, offset_tree, block);
        if (refusal != nullptr)
            REPORT_FAILURE(refusal);
        std::free(block);
    }

    put_bytes(output, image, size);
    std::free(block);
    std::free(lengths);
    std::free(offsets);
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("ostrel %s\n\n", "0.8 " __DATE__);
        std::printf("Usage: %s infile outfile\n", argc > 0 ? argv[0] : "ostrel");
        std::exit(1);
    }
    guard_standard_descriptors();
    std::FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr)
        REPORT_CALL_FAILURE("fopen");
    if (names_open_file(argv[2], input))
        REPORT_FAILURE("input and output are the same file");
    // In a block of its own, so that the output's name is freed before the
    // exit.
    {
        Output output;
        if (!open_output(argv[2], output))
            REPORT_CALL_FAILURE("fopen");
        // The input must be a file that can be positioned; its length itself
        // is not needed.
        if (std::fseek(input, 0, SEEK_END) != 0)
            REPORT_CALL_FAILURE("fseek");
        if (std::ftell(input) == -1)
            REPORT_CALL_FAILURE("ftell");
        std::rewind(input);

        analyze_LZH8(input, output.stream);
        // Written in place, what a longer existing file held past the image
        // goes. Cutting before the stream's buffer is flushed is safe: the
        // buffered bytes lie below the logical position, so flushing them
        // cannot lengthen the file again, and a failing flush is still
        // reported by fclose.
        if (output.cut && ftruncate(fileno(output.stream), ftello(output.stream)) != 0)
            REPORT_CALL_FAILURE("ftruncate");
        if (std::fclose(output.stream) == EOF)
            REPORT_CALL_FAILURE("fclose");
        if (output.via_temporary && !replace_output(output.replaced))
            REPORT_CALL_FAILURE("rename");
    }
    if (std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    std::exit(0);
}
