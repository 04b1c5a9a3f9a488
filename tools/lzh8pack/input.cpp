// Reading the input whole: the match finder and the parse look back and
// ahead through all of it, and the header needs its size first.
#include "lzh8pack.h"

#include "util.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// A mapped input that shrinks under the packer (another program cuts the
// file short), or whose pages can no longer be read, faults on the next
// access to what is gone. The first thread to fault reports it, which ends
// the process and removes any temporary output; another thread that faults
// meanwhile waits for that end.
extern "C" void input_failed(int)
{
    static std::atomic_flag reported = ATOMIC_FLAG_INIT;
    if (reported.test_and_set())
        for (;;)
            pause();
    REPORT_FAILURE("input file shrank or failed while it was packed");
}

// Maps a regular file of size bytes read from its start, or returns
// nullptr where it cannot be mapped. The pages are read in at once: a
// mapping costs no copy and no fresh memory, where a buffer costs both.
static const std::uint8_t* map_input(int fd, std::size_t size)
{
    if (size == 0 || lseek(fd, 0, SEEK_CUR) != 0)
        return nullptr;
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    struct sigaction action = {};
    action.sa_handler = input_failed;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
    return static_cast<const std::uint8_t*>(mapped);
}

Input read_input(std::FILE* input, Bytes& buffer)
{
    struct stat info;
    if (fstat(fileno(input), &info) == 0 && S_ISREG(info.st_mode)) {
        if (static_cast<std::uint64_t>(info.st_size) > largest_input)
            REPORT_FAILURE("input too large for LZH8");
        auto size = static_cast<std::size_t>(info.st_size);
        if (const std::uint8_t* mapped = map_input(fileno(input), size)) {
            if (input != stdin && std::fclose(input) == EOF)
                REPORT_CALL_FAILURE("fclose");
            return {mapped, size};
        }
        // Reserved first, so that huge pages can be asked for before the
        // buffer is first touched, and then faulted in at once.
        buffer.reserve(size);
        prefer_huge_pages(buffer.data(), buffer.capacity());
        fault_in_pages(buffer.data(), buffer.capacity());
        buffer.resize(size);
    }
    // Read straight into the buffer while it has room; once it is full, or
    // the size was not known, whatever follows comes in chunks that the
    // buffer grows by. The size check covers both.
    std::size_t filled = 0;
    for (;;) {
        std::size_t got;
        if (filled < buffer.size()) {
            got = std::fread(buffer.data() + filled, 1, buffer.size() - filled, input);
        } else {
            std::uint8_t chunk[1 << 16];
            got = std::fread(chunk, 1, sizeof chunk, input);
            if (filled + got > largest_input)
                REPORT_FAILURE("input too large for LZH8");
            buffer.insert(buffer.end(), chunk, chunk + got);
        }
        if (got == 0)
            break;
        filled += got;
    }
    if (std::ferror(input))
        REPORT_TRANSFER_FAILURE("fread", input);
    if (input != stdin && std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    buffer.resize(filled);  // a file that shrank while it was read
    return input_of(buffer);
}

}  // namespace lzh8pack
