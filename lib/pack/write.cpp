// Writing the file into memory: the header, both table sections and the
// bit stream, whose pieces are written at once on all cores and joined.
#include "pack.h"

#include "../memory.h"

#include <memory>

namespace ostrel::pack {

namespace {

// ---- The bit writer ---------------------------------------------------

// Values go out most significant bit first. pending holds count bits not
// yet written at its top, the next one in bit 63, and zeros below them;
// count stays below 8 between calls, so a value of up to 56 bits always
// fits after them. After each value the pending bits go to the buffer as
// 8 bytes, whole or not, without a branch: the buffer moves on by the
// whole bytes only, and the partial byte after them is written again,
// with more bits, by the next value.
// The buffer's 8 spare bytes take that store; it goes to the writer's
// sink once a chunk is full. The buffer lives apart from the writer, so
// that the symbol loop can keep the writer in registers (see
// `write_symbols`).
const std::size_t write_chunk = 1 << 16;
const std::size_t write_buffer_size = write_chunk + 8;

// How far ahead of the bytes written a caller's buffer is faulted in.
const std::size_t fault_ahead = 1 << 20;

struct BitWriter {
    Sink* sink;
    std::uint8_t* buffer;  // write_buffer_size bytes
    std::uint64_t pending;
    unsigned count;
    std::size_t used;
};

void flush_buffer(BitWriter& writer)
{
    Sink& sink = *writer.sink;
    if (sink.memory != nullptr) {
        sink.memory->insert(sink.memory->end(), writer.buffer, writer.buffer + writer.used);
    } else if (sink.write != nullptr) {
        if (!sink.failed && writer.used > 0)
            sink.failed = sink.write(sink.context, writer.buffer, writer.used) != 0;
    } else if (sink.length < sink.capacity) {
        std::size_t fits = std::min(writer.used, sink.capacity - sink.length);
        if (sink.length + fits > sink.faulted) {
            std::size_t more = std::min(fault_ahead, sink.capacity - sink.faulted);
            fault_in_pages(sink.out + sink.faulted, more);
            sink.faulted += more;
        }
        std::memcpy(sink.out + sink.length, writer.buffer, fits);
    }
    sink.length += writer.used;
    writer.used = 0;
}

// Appends value, of count bits (1 <= count <= 56).
inline void put_bits(BitWriter& writer, std::uint64_t value, unsigned count)
{
    writer.count += count;
    writer.pending |= value << (64 - writer.count);
    std::uint64_t bytes = __builtin_bswap64(writer.pending);
    std::memcpy(writer.buffer + writer.used, &bytes, 8);
    unsigned whole = writer.count & ~7u;
    writer.used += whole >> 3;
    writer.pending <<= whole;
    writer.count &= 7;
    if (writer.used >= write_chunk)
        flush_buffer(writer);
}

// A code word of any length up to 64 bits, in two parts past 56.
inline void put_word(BitWriter& writer, std::uint64_t word, unsigned length)
{
    if (length > 56) {
        put_bits(writer, word >> 32, length - 32);
        word &= 0xFFFFFFFF;
        length = 32;
    }
    put_bits(writer, word, length);
}

// Two code words, in one step when together they fit in 56 bits, as most
// pairs of literals and a match's two codes do.
inline void put_two(BitWriter& writer, std::uint64_t first, unsigned first_length,
                    std::uint64_t second, unsigned second_length)
{
    if (first_length + second_length <= 56) {
        put_bits(writer, first << second_length | second, first_length + second_length);
        return;
    }
    put_word(writer, first, first_length);
    put_word(writer, second, second_length);
}

// Pads the last byte with zero bits and writes out everything.
void finish_bits(BitWriter& writer)
{
    if (writer.count > 0)
        writer.buffer[writer.used++] = static_cast<std::uint8_t>(writer.pending >> 56);
    writer.count = 0;
    flush_buffer(writer);
}

}  // namespace

// ---- Sections ---------------------------------------------------------

// The smallest section for the entries: its entry area of P bytes (P = 4X
// + 4 - count_field_bytes, X the section's count field) must hold every
// entry's bits, and the decoder, which loads entries only while bytes of
// the area remain unfetched, must load all of them: floor(8 (P - 1) / bits)
// + 1 >= N. Returns X.
unsigned section_count(std::size_t entries, unsigned entry_bits, unsigned count_field_bytes)
{
    for (unsigned x = 0;; x++) {
        std::size_t area = 4 * std::size_t{x} + 4 - count_field_bytes;
        if (entries * entry_bits <= 8 * area && 8 * (area - 1) / entry_bits + 1 >= entries)
            return x;
    }
}

namespace {

// A table section: the count field, then the entries from slot 1 on,
// padded with zero bits to the section's end.
void write_section(BitWriter& writer, const std::vector<unsigned>& entries, unsigned entry_bits,
                   unsigned count_field_bytes)
{
    unsigned x = section_count(entries.size() - 1, entry_bits, count_field_bytes);
    if (count_field_bytes == 2)
        put_bits(writer, (x & 0xFF) << 8 | x >> 8, 16);  // little-endian
    else
        put_bits(writer, x, 8);
    for (std::size_t slot = 1; slot < entries.size(); slot++)
        put_bits(writer, entries[slot], entry_bits);
    std::size_t area_bits = 8 * (4 * std::size_t{x} + 4 - count_field_bytes);
    for (std::size_t bits = (entries.size() - 1) * entry_bits; bits < area_bits;) {
        unsigned pad = static_cast<unsigned>(std::min<std::size_t>(32, area_bits - bits));
        put_bits(writer, 0, pad);
        bits += pad;
    }
}

// Every symbol's code as one word: the code word above 6 bits of its
// length. Huffman codes over counts below 2^32 are at most 46 bits long
// (a code of n bits takes a total count of at least the (n + 2)th
// Fibonacci number), so every code fits.
struct SymbolCodes {
    std::vector<std::uint64_t> lengths = std::vector<std::uint64_t>(length_symbols);
    std::vector<std::uint64_t> offsets = std::vector<std::uint64_t>(offset_symbols);
};

SymbolCodes symbol_codes(const Code& lengths, const Code& offsets)
{
    SymbolCodes codes;
    for (unsigned s = 0; s < length_symbols; s++)
        codes.lengths[s] = lengths.words[s] << 6 | lengths.lengths[s];
    for (unsigned k = 0; k < offset_symbols; k++)
        codes.offsets[k] = offsets.words[k] << 6 | offsets.lengths[k];
    return codes;
}

// Two codes given as symbol_codes makes them, first then second.
inline void put_two(BitWriter& writer, std::uint64_t first, std::uint64_t second)
{
    put_two(writer, first >> 6, first & 63, second >> 6, second & 63);
}

// Writes count literals, the input's bytes from at.
inline void put_literals(BitWriter& out, const std::uint64_t* codes, const std::uint8_t* at,
                         std::uint32_t count)
{
    for (; count >= 2; count -= 2, at += 2)
        put_two(out, codes[at[0]], codes[at[1]]);
    if (count > 0)
        put_word(out, codes[*at] >> 6, codes[*at] & 63);
}

// A segment's symbols: its matches, each after its literals, then its
// trailing literals. The writer comes and goes by value: as a local whose
// address is never taken, its fields stay in registers, where the
// buffer's byte stores, which may alias anything in memory, would
// otherwise send them back to memory every time.
BitWriter write_symbols(BitWriter out, const SymbolCodes& codes, const Input& data,
                        const SegmentParse& segment)
{
    const std::uint64_t* length_codes = codes.lengths.data();
    // The input's bytes are followed by a pointer of their own, which
    // costs less per token than the walk's position added to the start.
    const std::uint8_t* next = data.bytes + segment.start;
    walk_segment(
        segment,
        [&](std::uint32_t, std::uint32_t count) {
            put_literals(out, length_codes, next, count);
            next += count;
        },
        [&](std::uint32_t, const Match& match) {
            // The offset tree has 17 leaves, so its codes are 16 bits at
            // most, and the bits of d after its top bit, which k implies, 15.
            unsigned k = offset_symbol(match.d);
            unsigned following = following_bits(k);
            std::uint64_t length = length_codes[length_symbol(length_of(match))];
            std::uint64_t offset = codes.offsets[k];
            put_two(out, length >> 6, length & 63,
                    (offset >> 6) << following | (match.d & ((1u << following) - 1)),
                    (offset & 63) + following);
            next += length_of(match);
        });
    return out;
}

// Appends a piece that was written apart, from its first bit, with its
// last count bits pending in piece: its bytes follow writer's pending
// bits, shifted by their count, 8 bytes at a time, the low bits of each
// word staying pending for the next.
void join_piece(BitWriter& writer, const Bytes& bytes, const BitWriter& piece)
{
    const unsigned shift = writer.count;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word = load_64_be(&bytes[at]);
        std::uint64_t joined = __builtin_bswap64(writer.pending | word >> shift);
        std::memcpy(writer.buffer + writer.used, &joined, 8);
        writer.used += 8;
        writer.pending = shift == 0 ? 0 : word << (64 - shift);
        if (writer.used >= write_chunk)
            flush_buffer(writer);
    }
    for (; at < bytes.size(); at++)
        put_bits(writer, bytes[at], 8);
    if (piece.count > 0)
        put_bits(writer, piece.pending >> (64 - piece.count), piece.count);
}

// Pieces of the bit stream, each a run of whole segments, are written at
// once on all cores, when each has this many matches at least.
const std::size_t matches_per_piece = 1 << 16;

// The header: the short form holds sizes 1 to 2^24 - 1; a zero there
// announces the long form, which therefore carries size 0 as well.
void write_header(BitWriter& writer, std::uint32_t size)
{
    auto put_32_le = [&](std::uint32_t word) { put_bits(writer, __builtin_bswap32(word), 32); };
    if (size == 0 || size > 0xFFFFFF) {
        put_32_le(type_tag);
        put_32_le(size);
    } else {
        put_32_le(type_tag | size << 8);
    }
}

// Where the pieces of the bit stream begin: piece p holds the segments
// from firsts[p] up to firsts[p + 1], and the last entry is the count of
// segments. Pieces are written at once, one on each thread, when each has
// matches_per_piece matches at least. at[s] is where segment s's bits
// begin, counted from the stream's first bit.
struct Pieces {
    std::vector<std::size_t> firsts;
    std::vector<std::uint64_t> at;
};

Pieces plan_pieces(const std::vector<SegmentParse>& segments, const Code& lengths,
                   const Code& offsets, unsigned threads)
{
    std::size_t matches = 0;
    for (const SegmentParse& segment : segments)
        matches += segment.matches.size();
    const unsigned pieces =
        std::max(1u, threads_for(std::min(segments.size(),
                                          std::max<std::size_t>(1, matches / matches_per_piece)),
                                 threads));
    Pieces plan;
    plan.at.assign(segments.size() + 1, 0);
    std::vector<std::uint64_t>& at = plan.at;
    for (std::size_t s = 0; s < segments.size(); s++)
        at[s + 1] = at[s] + coded_bits(segments[s].counts, lengths, offsets);
    // Pieces of about equal bits, at least a segment each: writing takes
    // time by the bits, and segments of code and of data differ widely.
    std::vector<std::size_t>& firsts = plan.firsts;
    firsts.assign(pieces + 1, segments.size());
    firsts[0] = 0;
    for (unsigned p = 1; p < pieces; p++) {
        std::uint64_t goal = at.back() / pieces * p;
        auto low = at.begin() + static_cast<std::ptrdiff_t>(firsts[p - 1] + 1);
        auto high = at.begin() + static_cast<std::ptrdiff_t>(segments.size() - (pieces - p));
        auto first = std::lower_bound(low, high, goal);
        if (first > low && *first > goal && goal - *(first - 1) < *first - goal)
            first--;
        firsts[p] = static_cast<std::size_t>(first - at.begin());
    }
    return plan;
}

// Writes the bit stream after what writer holds: its pieces at once, the
// first straight to writer's sink, the others to memory first, then joined
// to it in order.
void write_pieces(BitWriter& writer, const Input& data, const std::vector<SegmentParse>& segments,
                  const SymbolCodes& codes, const Pieces& plan)
{
    const std::vector<std::size_t>& firsts = plan.firsts;
    const auto pieces = static_cast<unsigned>(firsts.size() - 1);
    std::vector<Bytes> memories(pieces);
    std::vector<Sink> sinks(pieces);
    std::vector<BitWriter> written(pieces);
    run_at_once(pieces, [&](unsigned p) {
        std::unique_ptr<std::uint8_t[]> own;
        BitWriter piece = writer;
        if (p > 0) {
            // Room for the piece's bytes, faulted in at once by the thread
            // that fills them; its last partial byte stays pending.
            memories[p].reserve(
                static_cast<std::size_t>((plan.at[firsts[p + 1]] - plan.at[firsts[p]]) / 8));
            fault_in_pages(memories[p].data(), memories[p].capacity());
            own = std::make_unique<std::uint8_t[]>(write_buffer_size);
            sinks[p].memory = &memories[p];
            piece = {&sinks[p], own.get(), 0, 0, 0};
        }
        for (std::size_t s = firsts[p]; s < firsts[p + 1]; s++)
            piece = write_symbols(piece, codes, data, segments[s]);
        if (p > 0) {
            flush_buffer(piece);
            piece.buffer = nullptr;  // freed with own
        }
        written[p] = piece;
    });
    writer = written[0];
    for (unsigned p = 1; p < pieces; p++)
        join_piece(writer, memories[p], written[p]);
}

}  // namespace

void write_lzh8(const Input& data, const Parse& parse, const Tables& tables, Sink& sink,
                unsigned threads)
{
    auto buffer = std::make_unique<std::uint8_t[]>(write_buffer_size);
    BitWriter writer = {&sink, buffer.get(), 0, 0, 0};
    // Every section is a whole number of 32-bit words, so the writer is
    // word-aligned at each section's start.
    write_header(writer, static_cast<std::uint32_t>(data.size));
    write_section(writer, tables.length_entries, length_entry_bits, 2);
    write_section(writer, tables.offset_entries, offset_entry_bits, 1);

    const Code lengths = code_of(tables.length_tree, length_symbols);
    const Code offsets = code_of(tables.offset_tree, offset_symbols);
    const Pieces plan = plan_pieces(parse.segments, lengths, offsets, threads);
    write_pieces(writer, data, parse.segments, symbol_codes(lengths, offsets), plan);
    finish_bits(writer);
}

}  // namespace ostrel::pack
