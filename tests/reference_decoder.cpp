#include "reference_decoder.h"

#include "decode.h"

#include <algorithm>
#include <memory>
#include <numeric>

namespace {

// Bytes read one at a time from a position; a read past the end is a
// short read of width bytes at its offset.
struct Reader {
    const std::uint8_t* in;
    std::size_t size;
    std::size_t at;
    bool ended;
    lzh8_details details;
};

// width bytes, little-endian, read at offset, which becomes the position.
std::uint32_t read_at(Reader& reader, std::size_t offset, unsigned width)
{
    if (offset > reader.size || reader.size - offset < width) {
        reader.ended = true;
        reader.details = {offset, width};
        return 0;
    }
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; i++)
        value |= std::uint32_t{reader.in[offset + i]} << (8 * i);
    reader.at = offset + width;
    return value;
}

std::uint32_t next_byte(Reader& reader)
{
    return read_at(reader, reader.at, 1);
}

// The bits of a packed area, most significant first, its first byte read
// at its own offset.
struct Bits {
    Reader& reader;
    unsigned byte, left;
};

Bits bits_at(Reader& reader, std::size_t offset)
{
    return {reader, read_at(reader, offset, 1), 8};
}

unsigned take_bits(Bits& bits, unsigned count)
{
    unsigned value = 0;
    while (count-- > 0) {
        if (bits.left == 0) {
            bits.byte = next_byte(bits.reader);
            bits.left = 8;
        }
        value = value << 1 | (bits.byte >> --bits.left & 1);
    }
    return value;
}

struct Tree {
    std::vector<unsigned> slots;
    unsigned filled = 0;
    unsigned entry_bits;
};

// Slots 1, 2, ... while bytes of the area are still unfetched, to the
// last slot.
void load_table(Reader& reader, std::size_t area, std::uint32_t area_bytes, unsigned slot_count,
                Tree& tree)
{
    tree.slots.assign(slot_count, 0);
    Bits bits = bits_at(reader, area);
    for (unsigned slot = 1; !reader.ended; slot++) {
        tree.slots[slot] = take_bits(bits, tree.entry_bits);
        tree.filled = slot;
        if ((slot * tree.entry_bits + 7) / 8 >= area_bytes || slot + 1 == slot_count)
            return;
    }
}

// The leaf a code leads to, -1 for a slot outside the table.
int walk(Bits& bits, const Tree& tree)
{
    const unsigned offset_mask = (1u << (tree.entry_bits - 2)) - 1;
    for (unsigned node = 1;;) {
        unsigned bit = take_bits(bits, 1);
        if (bits.reader.ended)
            return -1;
        unsigned entry = tree.slots[node];
        unsigned child = 2 * ((node >> 1) + (entry & offset_mask) + 1) + bit;
        if (child > tree.filled)
            return -1;
        if (entry & (1u << (tree.entry_bits - 1 - bit)))
            return static_cast<int>(tree.slots[child]);
        node = child;
    }
}

lzh8_result decode(Reader& reader, std::uint32_t most_declared, std::vector<std::uint8_t>& out)
{
    std::uint32_t header = read_at(reader, 0, 4);
    if (reader.ended)
        return LZH8_TRUNCATED;
    if ((header & 0xFF) != 0x40)
        return LZH8_NOT_LZH8;
    std::uint32_t size = header >> 8;
    std::size_t lengths_at = 4;
    if (size == 0) {
        size = read_at(reader, 4, 4);
        lengths_at = 8;
        if (reader.ended)
            return LZH8_TRUNCATED;
    }
    if (size > most_declared)
        return LZH8_OUTPUT_TOO_SMALL;
    out.assign(size, 0);
    std::uint32_t w = read_at(reader, lengths_at, 2);
    if (reader.ended)
        return LZH8_TRUNCATED;
    Tree lengths{{}, 0, 9}, offsets{{}, 0, 5};
    load_table(reader, lengths_at + 2, 4 * w + 2, 1024, lengths);
    std::size_t offsets_at = lengths_at + 4 * w + 4;
    std::uint32_t v = reader.ended ? 0 : read_at(reader, offsets_at, 1);
    if (!reader.ended)
        load_table(reader, offsets_at + 1, 4 * v + 3, 64, offsets);
    if (reader.ended || size == 0)
        return reader.ended ? LZH8_TRUNCATED : LZH8_OK;
    Bits bits = bits_at(reader, offsets_at + 4 * v + 4);
    for (std::uint32_t q = 0; q < size;) {
        int symbol = walk(bits, lengths);
        if (symbol < 0)
            return reader.ended ? LZH8_TRUNCATED : LZH8_CORRUPT_LENGTH_TREE;
        if (symbol < 256) {
            out[q++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint32_t length = static_cast<std::uint32_t>(symbol - 256) + 3;
        int k = walk(bits, offsets);
        if (k < 0)
            return reader.ended ? LZH8_TRUNCATED : LZH8_CORRUPT_OFFSET_TREE;
        std::uint32_t d = k == 0 ? 0 : 1;
        for (int bit = 1; bit < k; bit++)
            d = d << 1 | take_bits(bits, 1);
        if (reader.ended)
            return LZH8_TRUNCATED;
        std::uint32_t distance = (d & 0xFFFF) + 1;
        if (distance > q)
            return LZH8_MATCH_BEFORE_START;
        for (std::uint32_t end = q + std::min(length, size - q); q < end; q++)
            out[q] = out[q - distance];
    }
    return LZH8_OK;
}

}  // namespace

ReferenceOutcome reference_decode(const std::uint8_t* in, std::size_t size,
                                  std::uint32_t most_declared)
{
    Reader reader = {in, size, 0, false, {0, 0}};
    ReferenceOutcome outcome;
    outcome.result = decode(reader, most_declared, outcome.bytes);
    if (outcome.result != LZH8_OK)
        outcome.bytes.clear();
    outcome.details = outcome.result == LZH8_TRUNCATED ? reader.details : lzh8_details{0, 0};
    return outcome;
}

std::string difference_in_stream(const std::uint8_t* in, std::size_t size,
                                 const ReferenceOutcome& expected,
                                 const std::vector<std::size_t>& in_pieces,
                                 const std::vector<std::size_t>& out_pieces)
{
    std::unique_ptr<lzh8_decoder, void (*)(lzh8_decoder*)> decoder(lzh8_decoder_new(),
                                                                   lzh8_decoder_free);
    if (!decoder)
        return "no stream decoder";
    std::vector<std::uint8_t> made, room;
    std::size_t at = 0, pieces = 0;
    auto next_room = [&]() -> std::uint8_t* {
        room.resize(out_pieces[pieces++ % out_pieces.size()]);
        return room.data();
    };
    lzh8_result result = LZH8_MORE;
    std::string what;
    while (result == LZH8_MORE && at < size) {
        const std::size_t piece = std::min(in_pieces[pieces % in_pieces.size()], size - at);
        std::size_t used = 99, got = 99;
        std::uint8_t* out = next_room();
        result = lzh8_decoder_decode(decoder.get(), in + at, piece, &used, out, room.size(), &got);
        made.insert(made.end(), out, out + got);
        if (used > piece || got > room.size() ||
            (result == LZH8_MORE && used < piece && got < room.size()))
            return "a piece used neither whole nor for a full output";
        at += used;
    }
    lzh8_details details = {99, 99};
    while (result == LZH8_MORE) {
        std::size_t got = 99;
        std::uint8_t* out = next_room();
        result = lzh8_decoder_end(decoder.get(), out, room.size(), &got, &details);
        made.insert(made.end(), out, out + got);
        if (result == LZH8_MORE && got < room.size())
            return "the end handed out less than it had room for";
    }
    std::string pattern = " (pieces of " + std::to_string(in_pieces[0]) + " bytes into " +
                          std::to_string(out_pieces[0]) + ")";
    if (result != expected.result)
        return std::string("a stream decoder's \"") + lzh8_result_text(result) + "\" for \"" +
               lzh8_result_text(expected.result) + "\"" + pattern;
    if (result == LZH8_OK && made != expected.bytes)
        return "a stream decoder's other bytes" + pattern;
    if (result == LZH8_TRUNCATED &&
        (details.short_read_offset != expected.details.short_read_offset ||
         details.short_read_width != expected.details.short_read_width))
        return "a stream decoder's short read at " + std::to_string(details.short_read_offset) +
               pattern;
    std::size_t used = 99, got = 99;
    if (result != LZH8_OK &&
        lzh8_decoder_decode(decoder.get(), in, size, &used, nullptr, 0, &got) != result)
        return "a stream decoder that failed and then did not" + pattern;
    // The bytes used are the file's, no more: decoded alone they decode,
    // and one fewer is cut short.
    std::vector<std::uint8_t> image(made.size());
    if (result == LZH8_OK &&
        (lzh8_decode(in, at, image.data(), image.size(), &got) != LZH8_OK ||
         (at > 0 && lzh8_decode(in, at - 1, image.data(), image.size(), &got) != LZH8_TRUNCATED)))
        return "a stream decoder used " + std::to_string(at) + " bytes, not the file's";
    return "";
}

std::string difference_from_reference(const std::uint8_t* in, std::size_t size,
                                      std::uint32_t most_declared, bool lanes_on_threads,
                                      bool through_stream)
{
    std::size_t declared = 0;
    const bool has_header = lzh8_decoded_size(in, size, &declared) == LZH8_OK;
    if (declared > most_declared)
        return "";
    ReferenceOutcome expected = reference_decode(in, size, most_declared);
    // The buffer is exactly the declared size, so that a memory checker
    // sees any write past it.
    std::vector<std::uint8_t> out(declared);
    std::size_t out_size = 12345;
    lzh8_details details = {99, 99};
    lzh8_result result =
        lzh8_decode_detailed(in, size, out.data(), out.size(), &out_size, &details);
    if (result != expected.result)
        return std::string("result \"") + lzh8_result_text(result) +
               "\" where the reference has \"" + lzh8_result_text(expected.result) + "\"";
    if (result == LZH8_OK && (out_size != declared || out != expected.bytes))
        return "other bytes than the reference's";
    if (result != LZH8_OK && out_size != 0)
        return "a size given with a failure";
    if (details.short_read_offset != expected.details.short_read_offset ||
        details.short_read_width != expected.details.short_read_width)
        return "the short read at " + std::to_string(details.short_read_offset) + " of " +
               std::to_string(details.short_read_width) + " where the reference has " +
               std::to_string(expected.details.short_read_offset) + " of " +
               std::to_string(expected.details.short_read_width);
    // Decoded in lanes too, small ones so that even small files cross
    // many joins: on one thread, and where asked on two and eight. Lanes
    // are a 32nd of the input at least: 32 joins and more to every file,
    // where lanes of a few bytes made thousands in a large one, each lane
    // marking more bits than it holds, for no more cover.
    // And by the fast loops for any processor, which the calls above pass
    // over where the processor has BMI2: whole, and in some of the lanes.
    std::vector<ostrel::Threading> lanes = {{1, 0, true}, {1, 16, false}, {1, 64, true}};
    if (lanes_on_threads)
        lanes = {{1, 0, true}, {1, 16, false}, {2, 64, true}, {8, 8, false}};
    for (ostrel::Threading threading : lanes) {
        if (threading.lane_bytes != 0)
            threading.lane_bytes = std::max(threading.lane_bytes, size / 32);
        std::vector<std::uint8_t> in_lanes(declared);
        std::size_t lanes_size = 12345;
        lzh8_details lanes_details = {99, 99};
        lzh8_result lanes_result = ostrel::decode_detailed(
            in, size, in_lanes.data(), in_lanes.size(), &lanes_size, &lanes_details, threading);
        if (lanes_result != result || lanes_size != out_size ||
            (result == LZH8_OK && in_lanes != out) ||
            lanes_details.short_read_offset != details.short_read_offset ||
            lanes_details.short_read_width != details.short_read_width)
            return (threading.lane_bytes == 0
                        ? std::string("decoded whole")
                        : "decoded in lanes of " + std::to_string(threading.lane_bytes) +
                              " bytes on " + std::to_string(threading.threads) + " threads") +
                   (threading.portable_loop ? " by the loops for any processor" : "") + ", \"" +
                   lzh8_result_text(lanes_result) + "\" and other bytes or details";
    }
    // Through a stream decoder: fed a byte at a time and drained through
    // pieces of 1, 7 or 65536 bytes, or fed whole. Each input takes one of
    // the four, picked by its bytes, so that a sweep of prefixes or bit
    // flips takes them all in turn; a large one is fed in pieces of 4093
    // bytes and drained through 1009, 7 or 65536, which cuts it in as
    // many places as the sweep needs at a hundredth of the calls.
    const bool large = size > 65536;
    const std::size_t unit = large ? 4093 : 1;
    const std::pair<std::size_t, std::size_t> patterns[] = {
        {unit, large ? 1009 : 1}, {unit, 7}, {unit, 65536}, {size, 65536}};
    const std::size_t pick = std::accumulate(in, in + size, size) % 4;
    const ReferenceOutcome outcome = {result, out, details};
    std::string in_stream = through_stream
                                ? difference_in_stream(in, size, outcome, {patterns[pick].first},
                                                       {patterns[pick].second})
                                : "";
    if (!in_stream.empty())
        return in_stream;
    if (has_header && declared > 0) {
        std::vector<std::uint8_t> short_by_one(declared - 1);
        out_size = 0;
        if (lzh8_decode(in, size, short_by_one.data(), short_by_one.size(), &out_size) !=
                LZH8_OUTPUT_TOO_SMALL ||
            out_size != declared)
            return "a buffer one byte short not refused";
    }
    return "";
}
