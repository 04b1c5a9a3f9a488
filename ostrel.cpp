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

#include "util.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>

namespace {

const unsigned length_slots = 1024;  // slot 0 unused, entries fill 1..1023
const unsigned offset_slots = 64;    // slot 0 unused, entries fill 1..63
const unsigned length_entry_bits = 9;
const unsigned offset_entry_bits = 5;

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

// Walks a tree from its root, one bit per level, and returns the leaf's
// value. A walk that leads to a slot the loader did not fill (or beyond the
// table) returns -1 the moment it takes the bit that leads there; until a
// walk goes there, a bad branch is harmless.
template <typename Slot>
int walk_tree(std::FILE* input, unsigned& byte, unsigned& left, const Slot* table,
              unsigned filled, unsigned entry_bits)
{
    const unsigned leaf_flag_0 = 1u << (entry_bits - 1);  // 0x100 or 0x10
    const unsigned offset_mask = (leaf_flag_0 >> 1) - 1;  // 0x7F or 0x07
    unsigned node = 1;
    for (;;) {
        unsigned bit = take_bits(input, byte, left, 1);
        unsigned entry = table[node];
        unsigned child = 2 * ((node >> 1) + (entry & offset_mask) + 1) + bit;
        if (child > filled)
            return -1;
        if (entry & (leaf_flag_0 >> bit))
            return table[child];
        node = child;
    }
}

// Decodes the bit stream at stream_at until the image holds size bytes.
// Returns nullptr, or the reason for refusing a corrupt stream.
const char* decode_symbols(std::FILE* input, std::int32_t stream_at, std::uint8_t* image,
                           std::uint32_t size, const std::uint16_t* lengths,
                           unsigned lengths_filled, const std::uint8_t* offsets,
                           unsigned offsets_filled)
{
    unsigned byte = get_byte_seek(stream_at, input), left = 8;
    std::uint32_t q = 0;
    while (q < size) {
        int symbol = walk_tree(input, byte, left, lengths, lengths_filled, length_entry_bits);
        if (symbol < 0)
            return "corrupt length tree";
        if (symbol < 256) {
            image[q++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint32_t length = (symbol & 0xFF) + 3;
        int k = walk_tree(input, byte, left, offsets, offsets_filled, offset_entry_bits);
        if (k < 0)
            return "corrupt offset tree";
        // d has an implied top bit and k - 1 bits that follow; only its low
        // 16 bits count, so a copy reaches back 1 to 65536 bytes.
        std::uint32_t d = k == 0 ? 0 : 1;
        for (int i = 1; i < k; i++)
            d = (d << 1 | take_bits(input, byte, left, 1)) & 0xFFFF;
        std::uint32_t distance = d + 1;
        if (distance > q)
            return "match before start of output";
        // A match may run past the declared size; it is cut there. Copying
        // forward byte by byte lets a short distance repeat what it just made.
        std::uint32_t count = length < size - q ? length : size - q;
        for (std::uint32_t m = 0; m < count; m++)
            image[q + m] = image[q + m - distance];
        q += count;
    }
    return nullptr;
}

// True when path names the file that stream reads, by whatever spelling or
// link: opening it for writing would truncate the input.
bool same_file(std::FILE* stream, const char* path)
{
    struct stat opened, named;
    return fstat(fileno(stream), &opened) == 0 && stat(path, &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
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
    // One byte at least, so that an empty image is a block like any other.
    auto* image = static_cast<std::uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (image == nullptr)
        REPORT_CALL_FAILURE("malloc");

    // W <= 0xFFFF and V <= 0xFF keep every section offset below 2^19.
    std::uint32_t w = get_16_le_seek(lengths_at, input);
    auto* lengths = static_cast<std::uint16_t*>(std::malloc(length_slots * sizeof(std::uint16_t)));
    if (lengths == nullptr)
        REPORT_CALL_FAILURE("malloc");
    unsigned lengths_filled =
        load_table(input, lengths_at + 2, 4 * w + 2, length_entry_bits, lengths, length_slots);

    std::int32_t offsets_at = lengths_at + static_cast<std::int32_t>(4 * w + 4);
    std::uint32_t v = get_byte_seek(offsets_at, input);
    auto* offsets = static_cast<std::uint8_t*>(std::malloc(offset_slots));
    if (offsets == nullptr)
        REPORT_CALL_FAILURE("malloc");
    unsigned offsets_filled =
        load_table(input, offsets_at + 1, 4 * v + 3, offset_entry_bits, offsets, offset_slots);

    std::int32_t stream_at = offsets_at + static_cast<std::int32_t>(4 * v + 4);
    if (size > 0) {
        if (const char* refusal = decode_symbols(input, stream_at, image, size, lengths,
                                                 lengths_filled, offsets, offsets_filled))
            REPORT_FAILURE(refusal);
    }

    put_bytes(output, image, size);
    std::free(image);
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
    std::FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr)
        REPORT_CALL_FAILURE("fopen");
    if (same_file(input, argv[2]))
        REPORT_FAILURE("input and output are the same file");
    std::FILE* output = std::fopen(argv[2], "wb");
    if (output == nullptr)
        REPORT_CALL_FAILURE("fopen");
    // The input must be a file that can be positioned; its length itself
    // is not needed.
    if (std::fseek(input, 0, SEEK_END) != 0)
        REPORT_CALL_FAILURE("fseek");
    if (std::ftell(input) == -1)
        REPORT_CALL_FAILURE("ftell");
    std::rewind(input);

    analyze_LZH8(input, output);

    if (std::fclose(output) == EOF)
        REPORT_CALL_FAILURE("fclose");
    if (std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    std::exit(0);
}
