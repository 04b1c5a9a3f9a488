// Coverage-guided fuzzing of the packer against the decoder, in process:
// the first byte picks the level (1 to 9), the rest is packed, and the
// packed file is decoded with analyze_LZH8. Anything but the same bytes
// back is a finding; so is any failure, which ends the process.
#include "lzh8pack.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

void analyze_LZH8(std::FILE* input, std::FILE* output);

// The decoder's blocks need no tracking here: a run that fails ends the
// fuzzer, and one that succeeds frees them.
void* fuzz_tracked_malloc(std::size_t size)
{
    return std::malloc(size);
}

void fuzz_tracked_free(void* block)
{
    std::free(block);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace lzh8pack;
    if (size == 0)
        return 0;
    unsigned level = 1 + data[0] % 9;
    // The packer reads its input in place, as it does a mapped file.
    const Input plain = {data + 1, size - 1};
    // The packed file on a real file descriptor, so that it can be seeked.
    int fd = memfd_create("packed", 0);
    std::FILE* packed = fd < 0 ? nullptr : fdopen(fd, "w+b");
    if (packed == nullptr)
        std::abort();
    pack_data(packed, plain, level_settings(level));
    std::fflush(packed);
    std::rewind(packed);

    char* decoded = nullptr;
    std::size_t decoded_size = 0;
    std::FILE* output = open_memstream(&decoded, &decoded_size);
    analyze_LZH8(packed, output);
    std::fclose(output);
    std::fclose(packed);
    if (decoded_size != plain.size ||
        (decoded_size != 0 && std::memcmp(decoded, plain.bytes, decoded_size) != 0))
        __builtin_trap();
    std::free(decoded);
    return 0;
}
