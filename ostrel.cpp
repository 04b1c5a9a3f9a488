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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// The slot that bit leads to from the node in slot node holding entry: the
// children lie in pair (node >> 1) + c + 1, with c the entry's low bits (7
// of a length entry, 3 of an offset entry).
unsigned child_slot(unsigned node, unsigned entry, unsigned bit, unsigned entry_bits)
{
    const unsigned offset_mask = (1u << (entry_bits - 2)) - 1;  // 0x7F or 0x07
    return 2 * ((node >> 1) + (entry & offset_mask) + 1) + bit;
}

// Whether that child is a leaf: the entry's top bit flags child 0, the
// next bit child 1 (0x100 and 0x80, or 0x10 and 0x08).
bool child_is_leaf(unsigned entry, unsigned bit, unsigned entry_bits)
{
    return entry & (1u << (entry_bits - 1 - bit));
}

// Walks a tree from node, one bit per level, and returns the leaf's value.
// A walk that leads to a slot the loader did not fill (or beyond the table)
// returns -1 the moment it takes the bit that leads there; until a walk goes
// there, a bad branch is harmless. take_bit yields the stream's next bit.
template <typename Slot, typename TakeBit>
int walk_tree(TakeBit&& take_bit, const Slot* table, unsigned filled, unsigned entry_bits,
              unsigned node)
{
    for (;;) {
        unsigned bit = take_bit();
        unsigned entry = table[node];
        unsigned child = child_slot(node, entry, bit, entry_bits);
        if (child > filled)
            return -1;
        if (child_is_leaf(entry, bit, entry_bits))
            return table[child];
        node = child;
    }
}

// Decodes symbols until the image holds size bytes: the loop both decoders
// share, handed their ways of reading a length code, an offset code and the
// bits that follow it, and of copying a match. Returns nullptr, or the
// reason for refusing a corrupt stream.
template <typename LengthCode, typename OffsetCode, typename FollowingBits, typename CopyMatch>
const char* decode_symbols(std::uint8_t* image, std::uint32_t size, LengthCode&& length_code,
                           OffsetCode&& offset_code, FollowingBits&& following_bits,
                           CopyMatch&& copy_match)
{
    std::uint32_t q = 0;
    while (q < size) {
        int symbol = length_code();
        if (symbol < 0)
            return "corrupt length tree";
        if (symbol < 256) {
            image[q++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint32_t length = (symbol & 0xFF) + 3;
        int k = offset_code();
        if (k < 0)
            return "corrupt offset tree";
        // d has an implied top bit and k - 1 bits that follow; only its low
        // 16 bits count, so a copy reaches back 1 to 65536 bytes.
        std::uint32_t d = k == 0 ? 0 : ((1u << (k - 1)) | following_bits(k - 1)) & 0xFFFF;
        std::uint32_t distance = d + 1;
        if (distance > q)
            return "match before start of output";
        // A match may run past the declared size; it is cut there.
        std::uint32_t count = length < size - q ? length : size - q;
        copy_match(q, distance, count);
        q += count;
    }
    return nullptr;
}

// The reference decoder: one byte per checked read, one table read per
// bit, one byte copied at a time.
const char* decode_symbols_exact(std::FILE* input, std::int32_t stream_at, std::uint8_t* image,
                                 std::uint32_t size, const std::uint16_t* lengths,
                                 unsigned lengths_filled, const std::uint8_t* offsets,
                                 unsigned offsets_filled)
{
    unsigned byte = get_byte_seek(stream_at, input), left = 8;
    auto take_bit = [&] { return take_bits(input, byte, left, 1); };
    return decode_symbols(
        image, size,
        [&] { return walk_tree(take_bit, lengths, lengths_filled, length_entry_bits, 1); },
        [&] { return walk_tree(take_bit, offsets, offsets_filled, offset_entry_bits, 1); },
        [&](int wanted) {
            std::uint32_t value = 0;
            while (wanted-- > 0)
                value = value << 1 | take_bit();
            return value;
        },
        // Forward, byte by byte: a distance shorter than the match repeats
        // the bytes it has just made.
        [&](std::uint32_t q, std::uint32_t distance, std::uint32_t count) {
            for (std::uint32_t m = 0; m < count; m++)
                image[q + m] = image[q + m - distance];
        });
}

// ---- The fast decoder ---------------------------------------------------
//
// The same walk, sped up three ways: the input is read in large blocks into
// a 64-bit bit buffer; the first several bits of each code are looked up in
// a table built from the loaded tree; and matches are copied in words where
// the distance allows. Wherever a code needs bits that are not buffered, the
// bit-at-a-time walk takes over, and a bit the input does not have is asked
// of the checked byte reader, which reports the end of the input exactly as
// the reference decoder does.

const unsigned length_lookup_bits = 11;
const unsigned offset_lookup_bits = 8;
const std::uint32_t input_block = 1 << 16;

// A lookup entry: the number of bits its outcome takes (bits 0-4), the
// outcome's kind (bits 5-6), and its value (from bit 8): a leaf's value, or
// the node where a longer code goes on.
const std::uint32_t lookup_leaf = 0 << 5;
const std::uint32_t lookup_node = 1 << 5;
const std::uint32_t lookup_bad = 2 << 5;
const std::uint32_t lookup_kind = 3 << 5;

// Fills the lookup entries of every code that starts with the depth bits of
// prefix, which lead to node: leaves and bad slots within lookup_bits bits
// are resolved; longer codes stop at the node they reach.
template <typename Slot>
void fill_lookup(const Slot* table, unsigned filled, unsigned entry_bits, unsigned lookup_bits,
                 std::uint32_t* lookup, unsigned node, unsigned depth, unsigned prefix)
{
    unsigned entry = table[node];
    for (unsigned bit = 0; bit < 2; bit++) {
        unsigned child = child_slot(node, entry, bit, entry_bits);
        unsigned code = prefix << 1 | bit, length = depth + 1;
        std::uint32_t outcome;
        if (child > filled)
            outcome = lookup_bad | length;
        else if (child_is_leaf(entry, bit, entry_bits))
            outcome = std::uint32_t{table[child]} << 8 | lookup_leaf | length;
        else if (length == lookup_bits)
            outcome = child << 8 | lookup_node | length;
        else {
            fill_lookup(table, filled, entry_bits, lookup_bits, lookup, child, length, code);
            continue;
        }
        unsigned spare = lookup_bits - length;
        std::fill_n(lookup + (code << spare), 1u << spare, outcome);
    }
}

// Copies a match forward. Where the source lies 8 bytes back or more and the
// image has room past the match, it copies 8 bytes at a time: the bytes
// written past the match lie inside the image and are written again later.
void copy_match_fast(std::uint8_t* image, std::uint32_t q, std::uint32_t distance,
                     std::uint32_t count, std::uint32_t size)
{
    std::uint8_t* to = image + q;
    const std::uint8_t* from = to - distance;
    if (distance >= 8 && size - q - count >= 8) {
        for (std::uint32_t done = 0; done < count; done += 8)
            std::memcpy(to + done, from + done, 8);
    } else if (distance == 1) {
        std::memset(to, from[0], count);
    } else {
        for (std::uint32_t m = 0; m < count; m++)
            to[m] = from[m];
    }
}

const char* decode_symbols_fast(std::FILE* input, std::int32_t stream_at,
                                std::uint64_t input_length, std::uint8_t* image,
                                std::uint32_t size, const std::uint16_t* lengths,
                                unsigned lengths_filled, const std::uint8_t* offsets,
                                unsigned offsets_filled)
{
    std::uint32_t length_lookup[1 << length_lookup_bits];
    std::uint32_t offset_lookup[1 << offset_lookup_bits];
    fill_lookup(lengths, lengths_filled, length_entry_bits, length_lookup_bits, length_lookup, 1,
                0, 0);
    fill_lookup(offsets, offsets_filled, offset_entry_bits, offset_lookup_bits, offset_lookup, 1,
                0, 0);

    // The bit buffer holds its count untaken bits at its top, next bit
    // first; below them lie zeros or the stream's next bits, never others.
    std::uint8_t block[input_block];
    std::uint32_t block_at = 0, block_end = 0;
    std::uint64_t bits = std::uint64_t{get_byte_seek(stream_at, input)} << 56;
    unsigned count = 8;
    // The input beyond that first byte, read in blocks, never past its end.
    std::uint64_t unread = input_length > std::uint64_t(stream_at) + 1
                               ? input_length - std::uint64_t(stream_at) - 1
                               : 0;

    // Tops the buffer up to 56 bits or more, as far as the input goes.
    auto refill = [&] {
        if (block_end - block_at >= 8) {
            bits |= mem_get_64_be(block + block_at) >> count;
            block_at += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            if (block_at == block_end) {
                if (unread == 0)
                    return;
                block_end = unread < input_block ? std::uint32_t(unread) : input_block;
                get_bytes(input, block, block_end);
                unread -= block_end;
                block_at = 0;
            }
            bits |= std::uint64_t{block[block_at++]} << (56 - count);
            count += 8;
        }
    };
    // One bit; past the end of the input, the checked reader reports it.
    auto take_bit = [&]() -> unsigned {
        if (count == 0) {
            refill();
            if (count == 0) {
                bits = std::uint64_t{get_byte(input)} << 56;
                count = 8;
            }
        }
        unsigned bit = static_cast<unsigned>(bits >> 63);
        bits <<= 1;
        count--;
        return bit;
    };
    auto take_bits_fast = [&](int wanted) -> std::uint32_t {
        if (wanted <= 0)
            return 0;
        if (count < unsigned(wanted))
            refill();
        if (count < unsigned(wanted)) {
            std::uint32_t value = 0;
            while (wanted-- > 0)
                value = value << 1 | take_bit();
            return value;
        }
        auto value = static_cast<std::uint32_t>(bits >> (64 - wanted));
        bits <<= wanted;
        count -= wanted;
        return value;
    };
    // A code through its lookup table when all its looked-up bits are
    // buffered, else bit by bit from the root.
    auto decode = [&](const std::uint32_t* lookup, unsigned lookup_bits, auto walk_from) -> int {
        if (count < 32)
            refill();
        std::uint32_t entry = lookup[bits >> (64 - lookup_bits)];
        unsigned used = entry & 31;
        if (used > count)
            return walk_from(1);
        bits <<= used;
        count -= used;
        if ((entry & lookup_kind) == lookup_leaf)
            return static_cast<int>(entry >> 8);
        if ((entry & lookup_kind) == lookup_bad)
            return -1;
        return walk_from(entry >> 8);
    };
    auto walk_lengths = [&](unsigned node) {
        return walk_tree(take_bit, lengths, lengths_filled, length_entry_bits, node);
    };
    auto walk_offsets = [&](unsigned node) {
        return walk_tree(take_bit, offsets, offsets_filled, offset_entry_bits, node);
    };

    return decode_symbols(
        image, size,
        [&] { return decode(length_lookup, length_lookup_bits, walk_lengths); },
        [&] { return decode(offset_lookup, offset_lookup_bits, walk_offsets); },
        take_bits_fast,
        [&](std::uint32_t q, std::uint32_t distance, std::uint32_t copied) {
            copy_match_fast(image, q, distance, copied, size);
        });
}

// True when path names the file that stream reads, by whatever spelling or
// link: opening it for writing would truncate the input.
bool same_file(std::FILE* stream, const char* path)
{
    struct stat opened, named;
    return fstat(fileno(stream), &opened) == 0 && stat(path, &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Opens path for binary writing at its start, creating it (mode 0666 less
// the umask) if it does not exist, but never truncating it.
std::FILE* open_untruncated(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr)
        close(fd);
    return stream;
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
        // The fast decoder reads the input in blocks up to its end.
        if (std::fseek(input, 0, SEEK_END) != 0)
            REPORT_CALL_FAILURE("fseek");
        long input_length = std::ftell(input);
        if (input_length == -1)
            REPORT_CALL_FAILURE("ftell");
        const char* refusal =
            use_exact_decoder
                ? decode_symbols_exact(input, stream_at, image, size, lengths, lengths_filled,
                                       offsets, offsets_filled)
                : decode_symbols_fast(input, stream_at, static_cast<std::uint64_t>(input_length),
                                      image, size, lengths, lengths_filled, offsets,
                                      offsets_filled);
        if (refusal != nullptr)
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
    // The output is opened without truncating it: an existing file keeps
    // its contents until the decoded image is there to replace them.
    std::FILE* output = open_untruncated(argv[2]);
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
    // What a longer existing file held past the image goes. Cutting before
    // the stream's buffer is flushed is safe: the buffered bytes lie below
    // the logical position, so flushing them cannot lengthen the file again,
    // and a failing flush is still reported by fclose. Terminals, pipes and
    // devices have no length to cut.
    struct stat written;
    if (fstat(fileno(output), &written) == 0 && S_ISREG(written.st_mode) &&
        ftruncate(fileno(output), ftello(output)) != 0)
        REPORT_CALL_FAILURE("ftruncate");

    if (std::fclose(output) == EOF)
        REPORT_CALL_FAILURE("fclose");
    if (std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    std::exit(0);
}
