// Decoding an LZH8 file fed in pieces, in memory of a fixed size.
//
// A reader meets the file as the whole-file decoder reads it: the header,
// the length count, the length table, the offset count, the offset table,
// each read at its own offset, and then the bit stream. The reads before
// the stream are gathered from the pieces into a small buffer; the bytes
// between them (a length table's entries past the tree's last slot) are
// passed over, not kept. The stream is decoded by the whole-file decoder's
// loops into a window that keeps the last 64 KiB made, the farthest a
// match reaches back, ahead of the bytes not yet handed out.
//
// A decoder that has not been told the input has ended decodes a symbol
// only where the input holds all of it: the fast loops stop where fewer
// bytes are left than the longest symbol could take, and the careful loop
// puts back a symbol that runs off the input's end. The few bytes left
// are kept until the next piece, so that every piece is used whole unless
// the output runs out of room. Once the input has ended, the same loops
// run to the input's very end, and a symbol that runs off it ends
// decoding as truncated, just as in the whole-file decoder: so results,
// bytes and details are the same however the file is cut.
#include "decode.h"

#include <new>

namespace ostrel {
namespace {

// The parts of a file, in the order a reader meets them.
enum class Stage {
    header,        // its first word: the type byte and a 24-bit size
    long_size,     // the 32-bit size that follows a 24-bit size of zero
    length_count,  // W
    length_table,  // the length tree's entries
    offset_count,  // V
    offset_table,  // the offset tree's entries
    stream_start,  // the offset area's rest, passed over
    stored,        // a stream that spells its literals, copied
    coded,         // a stream decoded through the window
    done,
    failed
};

// The window: 64 KiB kept for matches to reach back into, then the bytes
// made in a round, and room after them for any match started in it and a
// fast copy's overrun.
const std::uint32_t round_bytes = 192 * 1024;
const std::uint32_t image_bytes = window + round_bytes + unchecked_room;
static_assert(round_bytes > unchecked_room);

// The input the fast loops keep ahead while the input has not ended: a
// round of the loop takes three literal codes and then a symbol, which
// may be the longest.
const std::ptrdiff_t stream_margin = 96;
static_assert(stream_margin >= fast_input);
static_assert(8 * stream_margin >= 3 * length_lookup_bits + longest_symbol_bits);

// The bytes kept between pieces: fewer than a symbol takes, and then a
// piece's bytes appended to them.
const std::size_t carry_bytes = 256;
static_assert(carry_bytes >= 2 * ((longest_symbol_bits + 7) / 8));

// The widest read before the stream: the bytes of a length table's 1023
// entries.
const std::size_t most_gathered = (std::size_t{length_slots - 1} * length_entry_bits + 7) / 8;

}  // namespace
}  // namespace ostrel

struct lzh8_decoder {
    ostrel::Stage stage;
    lzh8_result failure;   // of the failed stage
    lzh8_details details;  // for LZH8_TRUNCATED
    std::uint64_t taken;   // input bytes used before this call
    bool size_known;
    std::uint32_t declared;

    // The read being gathered: its offset and width, the bytes had.
    std::uint64_t read_at;
    std::size_t read_width, read_had;
    std::uint8_t gathered[ostrel::most_gathered];

    // Where the sections start, once known.
    std::uint64_t lengths_at, offsets_at, stream_at;
    std::uint32_t area_bytes;

    ostrel::Tree lengths, offsets;
    unsigned length_bits;
    std::uint32_t length_lookup[1 << ostrel::length_lookup_bits];
    std::uint32_t offset_lookup[1 << ostrel::offset_lookup_bits];

    // The bit buffer between pieces (fewer than 8 bits), and the input
    // kept after them.
    std::uint64_t bits;
    unsigned count;
    std::size_t carry_size;
    std::uint8_t carry[ostrel::carry_bytes];

    std::uint32_t stored_left;
    // The window: image[0] is byte `base` of the decoded file; bytes up to
    // `made` are decoded, up to `handed` handed out.
    std::uint64_t base;
    std::uint32_t made, handed;
    std::uint8_t image[ostrel::image_bytes];
};
static_assert(sizeof(lzh8_decoder) <= 320 * 1024, "a stream decoder's memory is bounded");

namespace ostrel {
namespace {

// The caller's piece of input and its piece of output, as far as used.
struct Piece {
    const std::uint8_t* bytes;
    std::size_t size, used;
};

struct Room {
    std::uint8_t* bytes;
    std::size_t capacity, made;
};

std::uint64_t position(const lzh8_decoder& d, const Piece& in)
{
    return d.taken + in.used;
}

// Starts the read of width bytes at offset at. A length table's last
// entry may run into the byte after its area, the offset count: a read
// that starts among the bytes taken has them from the read before.
void start_read(lzh8_decoder& d, Stage stage, std::uint64_t at, std::size_t width,
                std::uint64_t now)
{
    const auto had =
        static_cast<std::size_t>(std::min<std::uint64_t>(now > at ? now - at : 0, width));
    std::memmove(d.gathered, d.gathered + d.read_width - had, had);
    d.stage = stage;
    d.read_at = at;
    d.read_width = width;
    d.read_had = had;
}

// Takes input toward the read: passes over what lies before it and
// copies what lies in it. True once it is all had.
bool gather(lzh8_decoder& d, Piece& in)
{
    const std::uint64_t at = position(d, in);
    if (at < d.read_at)
        in.used +=
            static_cast<std::size_t>(std::min<std::uint64_t>(in.size - in.used, d.read_at - at));
    if (position(d, in) < d.read_at)
        return false;
    const std::size_t copied = std::min(in.size - in.used, d.read_width - d.read_had);
    if (copied > 0)
        std::memcpy(d.gathered + d.read_had, in.bytes + in.used, copied);
    d.read_had += copied;
    in.used += copied;
    return d.read_had == d.read_width;
}

void start_table(lzh8_decoder& d, Stage stage, std::uint64_t area, std::uint32_t area_bytes,
                 const Tree& tree, unsigned slots, std::uint64_t now)
{
    d.area_bytes = area_bytes;
    start_read(d, stage, area, table_fetched_bytes(area_bytes, slots, tree.entry_bits), now);
}

// The lookups, once both tables are loaded; then the stream, from its
// own offset.
void start_stream(lzh8_decoder& d, std::uint64_t now)
{
    start_read(d, Stage::stream_start, d.stream_at, 0, now);
    if (spells_its_literals(d.lengths)) {
        d.stored_left = d.declared;
        return;
    }
    d.length_bits = length_lookup_bits_for(d.declared);
    build_length_lookup(d.lengths, d.length_bits, d.length_lookup);
    build_offset_lookup(d.offsets, d.offset_lookup, d.length_lookup, d.length_bits);
}

// Reads the header and tables as far as the piece goes. A failure found
// in them is returned; LZH8_OK once they are read or the input is spent.
lzh8_result read_sections(lzh8_decoder& d, Piece& in)
{
    while (d.stage < Stage::stored && gather(d, in)) {
        const std::uint32_t value = load_le(d.gathered, static_cast<unsigned>(d.read_width));
        const std::uint64_t now = position(d, in);
        switch (d.stage) {
        case Stage::header:
            if ((value & 0xFF) != type_tag)
                return LZH8_NOT_LZH8;
            d.declared = value >> 8;
            d.lengths_at = header_length(value);
            d.size_known = d.lengths_at == 4;
            if (d.size_known)
                start_read(d, Stage::length_count, d.lengths_at, 2, now);
            else
                start_read(d, Stage::long_size, 4, 4, now);
            break;
        case Stage::long_size:
            d.declared = value;
            d.size_known = true;
            start_read(d, Stage::length_count, d.lengths_at, 2, now);
            break;
        case Stage::length_count:
            start_table(d, Stage::length_table, d.lengths_at + 2, length_area_bytes(value),
                        d.lengths, length_slots, now);
            d.offsets_at = after_lengths(d.lengths_at, value);
            break;
        case Stage::length_table:
            load_table_entries(d.gathered, d.area_bytes, length_slots, d.lengths);
            start_read(d, Stage::offset_count, d.offsets_at, 1, now);
            break;
        case Stage::offset_count:
            start_table(d, Stage::offset_table, d.offsets_at + 1, offset_area_bytes(value),
                        d.offsets, offset_slots, now);
            d.stream_at = after_offsets(d.offsets_at, value);
            break;
        case Stage::offset_table:
            load_table_entries(d.gathered, d.area_bytes, offset_slots, d.offsets);
            if (d.declared == 0)
                d.stage = Stage::done;
            else
                start_stream(d, now);
            break;
        default: d.stage = d.stored_left > 0 ? Stage::stored : Stage::coded; break;
        }
    }
    return LZH8_OK;
}

// Where the window's image ends for this round (the file's end, where it
// lies in the window) and where its rounds stop: at that end, or where the
// window keeps room for any match and the fast copy's overrun.
struct Bounds {
    std::uint32_t size, stop;
};

Bounds window_bounds(const lzh8_decoder& d)
{
    const std::uint64_t rest = d.declared - d.base;
    if (rest <= image_bytes)
        return {static_cast<std::uint32_t>(rest), static_cast<std::uint32_t>(rest)};
    return {image_bytes, image_bytes - unchecked_room};
}

// Gives back the whole bytes that the bit buffer holds untaken, so that
// the input used ends at the last byte a bit was taken from. They were
// all loaded from the reader's own bytes: each run starts with fewer than
// 8 bits buffered.
void unload(BitReader& reader)
{
    reader.next -= reader.count / 8;
    reader.count &= 7;
    reader.bits = reader.count == 0 ? 0 : reader.bits & ~std::uint64_t{0} << (64 - reader.count);
}

// Decodes from the reader into the window, up to its stop. Until the
// input has ended, a symbol that runs off its end is put back, to be
// decoded from the next piece.
lzh8_result decode_round(lzh8_decoder& d, BitReader& reader, bool ended)
{
    const Lookups lookups = {d.length_lookup, d.length_bits, d.lengths,
                             d.offset_lookup, d.offsets,     false};
    const Bounds bounds = window_bounds(d);
    lzh8_result result = decode_fast_run(reader, lookups, d.image, bounds.size, d.made, bounds.stop,
                                         ended ? fast_input : stream_margin);
    while (result == LZH8_OK && d.made < bounds.stop) {
        const BitReader before = reader;
        Symbol symbol;
        result = read_symbol(reader, lookups, symbol);
        if (result == LZH8_TRUNCATED && !ended) {
            reader = before;
            result = LZH8_OK;
            break;
        }
        if (result != LZH8_OK)
            break;
        if (symbol.length == 0)
            d.image[d.made++] = symbol.literal;
        else
            result = put_match<true>(d.image, d.made, bounds.size, symbol.length, symbol.distance);
    }
    unload(reader);
    return result;
}

// A round from the bytes kept after the last piece, with as much of this
// piece appended as they have room for. What the round leaves of the
// appended bytes is given back to the piece.
lzh8_result decode_kept(lzh8_decoder& d, Piece& in, bool ended)
{
    const std::size_t appended = std::min(in.size - in.used, carry_bytes - d.carry_size);
    if (appended > 0)
        std::memcpy(d.carry + d.carry_size, in.bytes + in.used, appended);
    d.carry_size += appended;
    in.used += appended;
    BitReader reader = {d.bits, d.count, d.carry, d.carry + d.carry_size};
    const lzh8_result result = decode_round(d, reader, ended);
    d.bits = reader.bits;
    d.count = reader.count;
    const auto left = static_cast<std::size_t>(d.carry + d.carry_size - reader.next);
    if (left <= appended) {
        in.used -= left;
        d.carry_size = 0;
    } else {
        std::memmove(d.carry, reader.next, left);
        d.carry_size = left;
    }
    return result;
}

// A round from the piece itself. Where it stops for want of input, the
// piece's last bytes are kept.
lzh8_result decode_piece(lzh8_decoder& d, Piece& in)
{
    BitReader reader = {d.bits, d.count, in.bytes + in.used, in.bytes + in.size};
    const lzh8_result result = decode_round(d, reader, false);
    d.bits = reader.bits;
    d.count = reader.count;
    in.used = static_cast<std::size_t>(reader.next - in.bytes);
    if (result == LZH8_OK && d.made < window_bounds(d).stop) {
        // Fewer bytes than the longest symbol takes (see decode_round).
        d.carry_size = in.size - in.used;
        if (d.carry_size > 0)
            std::memcpy(d.carry, in.bytes + in.used, d.carry_size);
        in.used = in.size;
    }
    return result;
}

void hand_out(lzh8_decoder& d, Room& out)
{
    const std::size_t count = std::min<std::size_t>(d.made - d.handed, out.capacity - out.made);
    if (count > 0)
        std::memcpy(out.bytes + out.made, d.image + d.handed, count);
    d.handed += static_cast<std::uint32_t>(count);
    out.made += count;
}

// Moves the window's last 64 KiB to its start, everything in it being
// handed out, to make room for the next round.
void slide(lzh8_decoder& d)
{
    const std::uint32_t shift = d.made - window;
    std::memmove(d.image, d.image + shift, window);
    d.base += shift;
    d.made = window;
    d.handed = window;
}

// The coded stream: rounds of decoding, each handed out before the next.
// LZH8_MORE where the output has no more room or the input is spent.
lzh8_result decode_coded(lzh8_decoder& d, Piece& in, Room& out, bool ended)
{
    for (;;) {
        hand_out(d, out);
        if (d.handed < d.made)
            return LZH8_MORE;
        if (d.base + d.made == d.declared) {
            d.stage = Stage::done;
            return LZH8_OK;
        }
        if (d.made >= window_bounds(d).stop)
            slide(d);
        const std::uint32_t made = d.made;
        const lzh8_result result =
            d.carry_size > 0 || ended ? decode_kept(d, in, ended) : decode_piece(d, in);
        if (result != LZH8_OK || (d.made == made && in.used == in.size))
            return result != LZH8_OK ? result : LZH8_MORE;
    }
}

lzh8_result copy_stored(lzh8_decoder& d, Piece& in, Room& out)
{
    const std::size_t count =
        std::min({in.size - in.used, out.capacity - out.made, std::size_t{d.stored_left}});
    if (count > 0)
        std::memcpy(out.bytes + out.made, in.bytes + in.used, count);
    in.used += count;
    out.made += count;
    d.stored_left -= static_cast<std::uint32_t>(count);
    if (d.stored_left > 0)
        return LZH8_MORE;
    d.stage = Stage::done;
    return LZH8_OK;
}

// The short read where the input ended, in the part being read: a
// header word or count is read whole at its offset, a table from its
// first byte on, and the stream a byte at a time.
lzh8_details short_read(const lzh8_decoder& d)
{
    switch (d.stage) {
    case Stage::length_table:
    case Stage::offset_table: return {static_cast<std::size_t>(std::max(d.read_at, d.taken)), 1};
    case Stage::stream_start: return {static_cast<std::size_t>(d.stream_at), 1};
    case Stage::stored:
    case Stage::coded: return {static_cast<std::size_t>(d.taken), 1};
    default: return {static_cast<std::size_t>(d.read_at), static_cast<unsigned>(d.read_width)};
    }
}

lzh8_result step(lzh8_decoder& d, Piece& in, Room& out, bool ended)
{
    lzh8_result result = LZH8_OK;
    if (d.stage < Stage::stored)
        result = read_sections(d, in);
    if (result == LZH8_OK) {
        switch (d.stage) {
        case Stage::stored: result = copy_stored(d, in, out); break;
        case Stage::coded: result = decode_coded(d, in, out, ended); break;
        case Stage::done: result = LZH8_OK; break;
        default: result = LZH8_MORE; break;
        }
    }
    d.taken += in.used;
    // The coded stream meets its end in its own loop; every other part
    // wants bytes that will not come.
    if (ended && result == LZH8_MORE && d.stage != Stage::coded)
        result = LZH8_TRUNCATED;
    if (result == LZH8_TRUNCATED)
        d.details = short_read(d);
    if (result != LZH8_OK && result != LZH8_MORE) {
        d.stage = Stage::failed;
        d.failure = result;
    }
    return result;
}

}  // namespace
}  // namespace ostrel

lzh8_decoder* lzh8_decoder_new(void)
{
    auto* decoder = new (std::nothrow) lzh8_decoder;
    if (decoder != nullptr)
        lzh8_decoder_reset(decoder);
    return decoder;
}

void lzh8_decoder_reset(lzh8_decoder* decoder)
{
    if (decoder == nullptr)
        return;
    lzh8_decoder& d = *decoder;
    d.failure = LZH8_OK;
    d.details = {0, 0};
    d.taken = 0;
    d.size_known = false;
    d.declared = 0;
    d.lengths.entry_bits = ostrel::length_entry_bits;
    d.offsets.entry_bits = ostrel::offset_entry_bits;
    d.bits = 0;
    d.count = 0;
    d.carry_size = 0;
    d.stored_left = 0;
    d.base = 0;
    d.made = 0;
    d.handed = 0;
    d.read_width = 0;
    ostrel::start_read(d, ostrel::Stage::header, 0, 4, 0);
}

void lzh8_decoder_free(lzh8_decoder* decoder)
{
    delete decoder;
}

lzh8_result lzh8_decoder_declared_size(const lzh8_decoder* decoder, size_t* size)
{
    if (decoder == nullptr || size == nullptr)
        return LZH8_BAD_ARGUMENT;
    *size = decoder->declared;
    if (decoder->size_known || decoder->stage > ostrel::Stage::long_size)
        return LZH8_OK;
    *size = 0;
    return decoder->stage == ostrel::Stage::failed ? decoder->failure : LZH8_MORE;
}

lzh8_result lzh8_decoder_decode(lzh8_decoder* decoder, const void* in, size_t in_size,
                                size_t* in_used, void* out, size_t out_capacity, size_t* out_made)
{
    if (in_used != nullptr)
        *in_used = 0;
    if (out_made != nullptr)
        *out_made = 0;
    if (decoder == nullptr || in_used == nullptr || out_made == nullptr ||
        (in == nullptr && in_size != 0) || (out == nullptr && out_capacity != 0))
        return LZH8_BAD_ARGUMENT;
    if (decoder->stage == ostrel::Stage::failed)
        return decoder->failure;
    ostrel::Piece piece = {static_cast<const std::uint8_t*>(in), in_size, 0};
    ostrel::Room room = {static_cast<std::uint8_t*>(out), out_capacity, 0};
    const lzh8_result result = ostrel::step(*decoder, piece, room, false);
    *in_used = piece.used;
    *out_made = room.made;
    return result;
}

lzh8_result lzh8_decoder_end(lzh8_decoder* decoder, void* out, size_t out_capacity,
                             size_t* out_made, lzh8_details* details)
{
    if (details != nullptr)
        *details = {0, 0};
    if (out_made != nullptr)
        *out_made = 0;
    if (decoder == nullptr || out_made == nullptr || (out == nullptr && out_capacity != 0))
        return LZH8_BAD_ARGUMENT;
    lzh8_result result = decoder->failure;
    if (decoder->stage != ostrel::Stage::failed) {
        ostrel::Piece piece = {nullptr, 0, 0};
        ostrel::Room room = {static_cast<std::uint8_t*>(out), out_capacity, 0};
        result = ostrel::step(*decoder, piece, room, true);
        *out_made = room.made;
    }
    if (result == LZH8_TRUNCATED && details != nullptr)
        *details = decoder->details;
    return result;
}

size_t lzh8_reachable_size(size_t in_size)
{
    return ostrel::reachable_size(in_size);
}
