// Bytes as the packer and lzh8pack hold them.
#ifndef OSTREL_LIB_BYTES_H
#define OSTREL_LIB_BYTES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

using Bytes = std::vector<std::uint8_t>;

// Bytes to pack, wherever they are kept: mapped from the input file, read
// into a buffer, or a caller's own.
struct Input {
    const std::uint8_t* bytes;
    std::size_t size;
};

inline Input input_of(const Bytes& bytes)
{
    return {bytes.data(), bytes.size()};
}

}  // namespace ostrel

#endif
