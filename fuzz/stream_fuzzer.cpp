// Coverage-guided fuzzing of the stream decoder, in process: the input's
// first two bytes pick how the rest is cut into input pieces and how the
// output is drained, and the rest is decoded so and held to the
// reference decoder: the same result, the same bytes, the same short
// read, and no more input used than the file's.
#include "reference_decoder.h"

#include <algorithm>
#include <cstdio>

// Declared sizes above this are skipped, to keep each run small.
const std::uint32_t most_declared = 1 << 17;

// Piece sizes from a seed: mostly short, now and then long, so that cuts
// fall everywhere in the header, the tables and the stream. Output pieces
// may be empty, a call with no room; never all of them.
std::vector<std::size_t> pieces(std::uint32_t& seed, std::size_t first)
{
    std::vector<std::size_t> sizes;
    for (unsigned i = 0; i < 16; i++) {
        seed = seed * 1103515245 + 12345;
        const std::uint32_t r = seed >> 16;
        sizes.push_back(r % 8 == 0 ? r % 4096 : first + r % 9);
    }
    sizes[0] = std::max<std::size_t>(sizes[0], 1);
    return sizes;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::uint32_t seed = std::uint32_t{data[0]} << 8 | data[1];
    const std::uint8_t* file = data + 2;
    const std::size_t file_size = size - 2;
    std::size_t declared = 0;
    if (lzh8_decoded_size(file, file_size, &declared) == LZH8_OK && declared > most_declared)
        return 0;
    const ReferenceOutcome expected = reference_decode(file, file_size, most_declared);
    const std::vector<std::size_t> in_pieces = pieces(seed, 1), out_pieces = pieces(seed, 0);
    std::string difference = difference_in_stream(file, file_size, expected, in_pieces, out_pieces);
    if (!difference.empty()) {
        std::fprintf(stderr, "the stream decoder differs from the reference decoder: %s\n",
                     difference.c_str());
        __builtin_trap();
    }
    return 0;
}
