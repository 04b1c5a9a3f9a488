// Coverage-guided fuzzing of lzh8_pack against lzh8_decode, in process:
// the first byte picks the level (1 to 9), the second the room given
// (the bound, or a share of it), the rest is packed on the calling
// thread. A file that does not fit must be refused, with nothing written
// past the room (AddressSanitizer watches the buffer's end), and fit in
// the bound; the file packed must decode back to the same bytes.
#include <ostrel/lzh8.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int level = 1 + data[0] % 9;
    const std::size_t bound = lzh8_pack_bound(size - 2);
    const std::size_t room = data[1] < 128 ? bound : bound * (data[1] - 128u) / 128;
    const std::uint8_t* plain = data + 2;
    const std::size_t plain_size = size - 2;

    std::vector<std::uint8_t> packed(room);
    std::size_t packed_size = 0;
    lzh8_result result = lzh8_pack(plain, plain_size, packed.data(), room, &packed_size, level, 1);
    if (result == LZH8_OUTPUT_TOO_SMALL && room < bound) {
        packed.assign(bound, 0);
        result = lzh8_pack(plain, plain_size, packed.data(), bound, &packed_size, level, 1);
        if (packed_size <= room)
            __builtin_trap();  // refused a room it fits in
    }
    if (result != LZH8_OK)
        __builtin_trap();

    std::vector<std::uint8_t> decoded(plain_size);
    std::size_t decoded_size = 0;
    if (lzh8_decode(packed.data(), packed_size, decoded.data(), decoded.size(), &decoded_size) !=
            LZH8_OK ||
        decoded_size != plain_size ||
        (plain_size != 0 && std::memcmp(decoded.data(), plain, plain_size) != 0))
        __builtin_trap();
    return 0;
}
