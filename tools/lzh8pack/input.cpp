// Reading the input whole: the match finder and the parse look back and
// ahead through all of it, and the header needs its size first.
#include "lzh8pack.h"

#include "util.h"

#include <sys/stat.h>

#include <cstring>

namespace lzh8pack {

// The header holds the decoded size in 32 bits.
const std::uint64_t largest_input = 0xFFFFFFFF;

std::FILE* open_input(const char* path)
{
    if (std::strcmp(path, "-") == 0)
        return stdin;
    std::FILE* input = std::fopen(path, "rb");
    if (input == nullptr)
        REPORT_CALL_FAILURE("fopen");
    return input;
}

Bytes read_input(std::FILE* input)
{
    Bytes data;
    struct stat info;
    if (fstat(fileno(input), &info) == 0 && S_ISREG(info.st_mode)) {
        if (static_cast<std::uint64_t>(info.st_size) > largest_input)
            REPORT_FAILURE("input too large for LZH8");
        // Reserved first, so that huge pages can be asked for before the
        // buffer is first touched, and then faulted in at once.
        data.reserve(static_cast<std::size_t>(info.st_size));
        prefer_huge_pages(data.data(), data.capacity());
        fault_in_pages(data.data(), data.capacity());
        data.resize(static_cast<std::size_t>(info.st_size));
    }
    // Read straight into the buffer while it has room; once it is full, or
    // the size was not known, whatever follows comes in chunks that the
    // buffer grows by. The size check covers both.
    std::size_t filled = 0;
    for (;;) {
        std::size_t got;
        if (filled < data.size()) {
            got = std::fread(data.data() + filled, 1, data.size() - filled, input);
        } else {
            std::uint8_t chunk[1 << 16];
            got = std::fread(chunk, 1, sizeof chunk, input);
            if (filled + got > largest_input)
                REPORT_FAILURE("input too large for LZH8");
            data.insert(data.end(), chunk, chunk + got);
        }
        if (got == 0)
            break;
        filled += got;
    }
    if (std::ferror(input))
        REPORT_TRANSFER_FAILURE("fread", input);
    if (input != stdin && std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    data.resize(filled);  // a file that shrank while it was read
    return data;
}

}  // namespace lzh8pack
