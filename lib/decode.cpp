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
#include "decode.h"

#include <new>

namespace ostrel {
namespace {

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

// The declared size and the header's length (4 or 8), or a failure.
lzh8_result read_header(const Source& in, std::uint32_t& size, std::size_t& header_bytes)
{
    if (!can_read(in, 0, 4))
        return LZH8_TRUNCATED;
    std::uint32_t header = load_le(in.bytes, 4);
    if ((header & 0xFF) != type_tag)
        return LZH8_NOT_LZH8;
    size = header >> 8;
    header_bytes = header_length(header);
    if (header_bytes == 8) {
        if (!can_read(in, 4, 4))
            return LZH8_TRUNCATED;
        size = load_le(in.bytes + 4, 4);
    }
    return LZH8_OK;
}

// Loads a table area at offset area (see load_table_entries), or false
// when the input ends first: the area's first byte is read at its own
// offset, the rest in turn, so the read that comes up short is at the
// later of the area's start and the input's end.
bool load_table(const Source& in, std::size_t area, std::uint32_t area_bytes, unsigned slots,
                Tree& tree)
{
    const std::size_t fetched = table_fetched_bytes(area_bytes, slots, tree.entry_bits);
    if (!can_read(in, area, static_cast<unsigned>(fetched))) {
        if (in.details != nullptr)
            *in.details = {std::max(area, in.size), 1};
        return false;
    }
    load_table_entries(in.bytes + area, area_bytes, slots, tree);
    return true;
}

}  // namespace

std::size_t table_fetched_bytes(std::uint32_t area_bytes, unsigned slots, unsigned entry_bits)
{
    return (std::size_t{table_entries(area_bytes, slots, entry_bits)} * entry_bits + 7) / 8;
}

unsigned table_entries(std::uint32_t area_bytes, unsigned slots, unsigned entry_bits)
{
    // The first count of entries whose bytes reach the area's last one.
    return std::min(slots - 1, 8 * (area_bytes - 1) / entry_bits + 1);
}

namespace {

// The entries of `bits` bits each, first most significant, from at on
// into slots 1 to tree.filled; end is the first byte not there. Where 8
// bytes are there, one load gives as many whole entries as 56 bits hold,
// after the bits of its first byte already taken; the last few entries
// are gathered a byte at a time.
template <unsigned bits>
void load_entries(const std::uint8_t* at, const std::uint8_t* end, Tree& tree)
{
    const unsigned per_load = 56 / bits;
    const auto bytes = static_cast<std::size_t>(end - at);
    std::size_t position = 0;
    unsigned slot = 1;
    for (; slot + per_load - 1 <= tree.filled && bytes - position / 8 >= 8;
         position += per_load * bits) {
        std::uint64_t word = load_64_be(at + position / 8) << (position & 7);
        for (unsigned n = 0; n < per_load; n++, word <<= bits)
            tree.slots[slot++] = static_cast<std::uint16_t>(word >> (64 - bits));
    }
    for (; slot <= tree.filled; slot++, position += bits) {
        std::uint32_t gathered = 0;
        for (std::size_t byte = position / 8; byte < (position + bits + 7) / 8; byte++)
            gathered = gathered << 8 | at[byte];
        const unsigned below = static_cast<unsigned>(7 - (position + bits - 1) % 8);
        tree.slots[slot] = static_cast<std::uint16_t>(gathered >> below & ((1u << bits) - 1));
    }
}

}  // namespace

void load_table_entries(const std::uint8_t* at, std::uint32_t area_bytes, unsigned slots,
                        Tree& tree)
{
    tree.filled = table_entries(area_bytes, slots, tree.entry_bits);
    const std::uint8_t* end = at + table_fetched_bytes(area_bytes, slots, tree.entry_bits);
    if (tree.entry_bits == length_entry_bits)
        load_entries<length_entry_bits>(at, end, tree);
    else
        load_entries<offset_entry_bits>(at, end, tree);
}

namespace {

// Stores entry count times from first, where count is a power of two.
inline void fill_run(std::uint32_t* first, std::uint32_t count, std::uint32_t entry)
{
    if (count < 4) {
        first[0] = entry;
        first[count - 1] = entry;
        return;
    }
    const std::uint32_t four[4] = {entry, entry, entry, entry};
    for (std::uint32_t* at = first; at != first + count; at += 4)
        std::memcpy(at, four, sizeof four);
}

// Fills the lookup entries of every code: leaves and bad slots within
// lookup_bits bits are resolved; longer codes stop at the node they reach.
// The tree is walked depth first, the 0 branch before the 1, so that the
// codes come in the order of their bits: each takes the next run of
// entries, 2^(lookup_bits - its bits) of them. The stack holds the
// branches still to visit: at most one of each depth below lookup_bits,
// and two of the deepest.
template <std::uint32_t (*leaf_entry)(unsigned, unsigned)>
void fill_lookup(const Tree& tree, unsigned lookup_bits, std::uint32_t* lookup)
{
    // A branch on the stack: the slot it leads to from bit 5, its code's
    // bits in bits 1-4, and whether the slot is a leaf in bit 0.
    static_assert(length_lookup_bits + 1 < 16);
    std::uint32_t stack[length_lookup_bits + 2];
    unsigned pending = 0;
    auto push_children = [&](unsigned node, unsigned bits) {
        const unsigned entry = tree.slots[node];
        for (unsigned bit = 2; bit-- > 0;)
            stack[pending++] = child_slot(node, entry, tree.entry_bits, bit) << 5 |
                               (bits + 1) << 1 | ((entry & leaf_flag(tree.entry_bits, bit)) != 0);
    };
    push_children(1, 0);
    std::uint32_t* next = lookup;
    while (pending > 0) {
        const std::uint32_t branch = stack[--pending];
        const unsigned slot = branch >> 5, bits = branch >> 1 & 15;
        const std::uint32_t run = 1u << (lookup_bits - bits);
        std::uint32_t outcome;
        if (slot > tree.filled)
            outcome = lookup_unresolved | bits << first_bits_shift;
        else if ((branch & 1) != 0)
            outcome = leaf_entry(tree.slots[slot], bits);
        else if (run == 1)
            outcome = slot << node_shift | lookup_unresolved | bits << first_bits_shift;
        else {
            push_children(slot, bits);
            continue;
        }
        fill_run(next, run, outcome);
        next += run;
    }
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
// the bits known. Along a first code's run of entries, the bits after it
// count up from 0, so each second code that fits takes a run of its own,
// joined in one fill, and one that does not is passed over whole. Entries
// are joined in place; the fields read from a second entry are the same
// joined or not. A first code that leaves fewer bits than the shortest
// second code could take has its whole run passed over.
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
        while (index < run_end) {
            const std::uint32_t rest = (index << first_bits) & mask;
            const std::uint32_t second =
                literal ? length_lookup[rest]
                        : offset_lookup[rest >> (length_bits - offset_lookup_bits)];
            const unsigned second_bits = first_code_bits(second);
            if (second_bits > left) {
                index++;
                continue;
            }
            const std::uint32_t count = 1u << (left - second_bits);
            if (literal && is_literal(second)) {
                fill_run(length_lookup + index, count,
                         (first & first_code_fields) | 2 * one_literal |
                             (second >> symbol_shift & symbol_mask) << second_shift |
                             (first_bits + second_bits));
            } else if (!literal && (second & lookup_unresolved) == 0) {
                const unsigned k = entry_k(second), code_bits = first_bits + second_bits;
                fill_run(length_lookup + index, count,
                         (first & (first_code_fields | lookup_match)) | lookup_joined |
                             k << k_shift | code_bits << joined_bits_shift |
                             (code_bits + following_bits(k)));
            }
            index += count;
        }
    }
}

}  // namespace

bool spells_its_literals(const Tree& lengths)
{
    // The tree is walked a depth at a time, its nodes kept in the order of
    // their codes: from the root, every node down to depth 7 has two
    // branches, and at depth 8 the code c reaches the leaf of literal c.
    std::uint16_t nodes[128] = {1}, children[128];
    unsigned count = 1;
    for (unsigned depth = 1; depth <= 8; depth++) {
        for (unsigned n = 0; n < count; n++)
            for (unsigned bit = 0; bit < 2; bit++) {
                bool leaf = false;
                const unsigned child = walk_step(lengths, nodes[n], bit, leaf);
                const unsigned code = 2 * n + bit;
                if (child == 0 || leaf != (depth == 8) || (leaf && lengths.slots[child] != code))
                    return false;
                if (!leaf)
                    children[code] = static_cast<std::uint16_t>(child);
            }
        count *= 2;
        std::copy(children, children + (depth < 8 ? count : 0), nodes);
    }
    return true;
}

void build_length_lookup(const Tree& lengths, unsigned length_bits, std::uint32_t* length_lookup)
{
    fill_lookup<length_leaf>(lengths, length_bits, length_lookup);
}

void build_offset_lookup(const Tree& offsets, std::uint32_t* offset_lookup,
                         std::uint32_t* length_lookup, unsigned length_bits)
{
    fill_lookup<offset_leaf>(offsets, offset_lookup_bits, offset_lookup);
    if (length_bits >= 11)
        join_second_codes(length_lookup, length_bits, offset_lookup);
}

unsigned length_lookup_bits_for(std::uint32_t size)
{
    // Chosen by instructions counted over the benchmark corpus cut into
    // pieces of 4 KiB, 64 KiB, and whole.
    return size <= 32768 ? 10 : size <= 131072 ? 11 : 12;
}

namespace {

#define OSTREL_LOOP_FILE "fast_loop.h"
#include "each_processor.h"

}  // namespace

// Kept out of line, apart from the table building: inlined there, its
// loops' registers and layout moved with every change to the tables'
// code (1% of instructions either way).
__attribute__((noinline)) lzh8_result decode_fast_run(BitReader& reader, const Lookups& lookups,
                                                      std::uint8_t* image, std::uint32_t size,
                                                      std::uint32_t& q, std::uint32_t stop,
                                                      std::ptrdiff_t input_margin)
{
#if defined(__x86_64__)
    if (bmi2_loops(lookups))
        return bmi2::decode_fast_run(reader, lookups, image, size, q, stop, input_margin);
#endif
    return portable::decode_fast_run(reader, lookups, image, size, q, stop, input_margin);
}

namespace {

lzh8_result decode_stream(BitReader& reader, const Lookups& lookups, std::uint8_t* image,
                          std::uint32_t size)
{
    std::uint32_t q = 0;
    lzh8_result result = decode_fast_run(reader, lookups, image, size, q, size, fast_input);
    // The careful loop: the same symbols, every read and write checked.
    while (result == LZH8_OK && q < size)
        result = decode_symbol<true>(reader, lookups, image, q, size);
    return result;
}

// The stream decoded whole on this thread, or in lanes where they gain.
lzh8_result decode_stream_with(const Source& in, std::size_t stream_at, const Lookups& lookups,
                               std::uint8_t* image, std::uint32_t size, const Threading& threading)
{
    const std::uint8_t* stream = in.bytes + stream_at;
    const std::uint8_t* end = in.bytes + in.size;
    const unsigned threads = lanes_worth(stream, end, size, threading);
    if (threads > 0) {
        try {
            return decode_in_lanes(stream, end, lookups, image, size, threading, threads);
        } catch (const std::bad_alloc&) {
            // Without room for the lanes' tokens, decoded here, as it is.
        }
    }
    BitReader reader = {0, 0, stream, end};
    return decode_stream(reader, lookups, image, size);
}

lzh8_result decode(const Source& in, std::uint8_t* out, std::size_t out_capacity,
                   std::size_t& out_size, const Threading& threading)
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
    if (!load_table(in, lengths_at + 2, length_area_bytes(w), length_slots, lengths))
        return LZH8_TRUNCATED;
    std::size_t offsets_at = after_lengths(lengths_at, w);
    if (!can_read(in, offsets_at, 1))
        return LZH8_TRUNCATED;
    std::uint32_t v = in.bytes[offsets_at];
    if (!load_table(in, offsets_at + 1, offset_area_bytes(v), offset_slots, offsets))
        return LZH8_TRUNCATED;
    std::size_t stream_at = after_offsets(offsets_at, v);
    if (size > 0) {
        // The first symbol takes a bit, read at the stream's own offset.
        if (!can_read(in, stream_at, 1))
            return LZH8_TRUNCATED;
        // A stored stream that the input holds whole is copied (a shorter
        // one is decoded, to meet its end where a reader would).
        if (in.size - stream_at >= size && spells_its_literals(lengths)) {
            std::memcpy(out, in.bytes + stream_at, size);
        } else {
            std::uint32_t length_lookup[1 << length_lookup_bits];
            std::uint32_t offset_lookup[1 << offset_lookup_bits];
            const unsigned length_bits = length_lookup_bits_for(size);
            build_length_lookup(lengths, length_bits, length_lookup);
            build_offset_lookup(offsets, offset_lookup, length_lookup, length_bits);
            const Lookups lookups = {length_lookup, length_bits, lengths,
                                     offset_lookup, offsets,     threading.portable_loop};
            lzh8_result result = decode_stream_with(in, stream_at, lookups, out, size, threading);
            if (result == LZH8_TRUNCATED && in.details != nullptr)
                *in.details = {in.size, 1};
            if (result != LZH8_OK)
                return result;
        }
    }
    out_size = size;
    return LZH8_OK;
}

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

lzh8_result ostrel::decode_detailed(const void* in, std::size_t in_size, void* out,
                                    std::size_t out_capacity, std::size_t* out_size,
                                    lzh8_details* details, const Threading& threading)
{
    if (details != nullptr)
        *details = {0, 0};
    if (out_size == nullptr || (in == nullptr && in_size != 0) ||
        (out == nullptr && out_capacity != 0))
        return LZH8_BAD_ARGUMENT;
    *out_size = 0;
    const Source source = {static_cast<const std::uint8_t*>(in), in_size, details};
    return decode(source, static_cast<std::uint8_t*>(out), out_capacity, *out_size, threading);
}

lzh8_result lzh8_decode_detailed(const void* in, size_t in_size, void* out, size_t out_capacity,
                                 size_t* out_size, lzh8_details* details)
{
    return ostrel::decode_detailed(in, in_size, out, out_capacity, out_size, details,
                                   {1, 0, false});
}

lzh8_result lzh8_decode_parallel(const void* in, size_t in_size, void* out, size_t out_capacity,
                                 size_t* out_size, lzh8_details* details, unsigned threads)
{
    return ostrel::decode_detailed(in, in_size, out, out_capacity, out_size, details,
                                   {threads, 0, false});
}

lzh8_result lzh8_decode(const void* in, size_t in_size, void* out, size_t out_capacity,
                        size_t* out_size)
{
    return lzh8_decode_detailed(in, in_size, out, out_capacity, out_size, nullptr);
}
