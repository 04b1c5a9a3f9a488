// Reading the input whole: the match finder and the parse look back and
// ahead through all of it, and the header needs its size first.
#include "lzh8pack.h"

#include "files.h"
#include "memory.h"
#include "util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace lzh8pack {

// The header holds the decoded size in 32 bits.
const std::uint64_t largest_input = 0xFFFFFFFF;

InputFile open_input(const char* path)
{
    InputFile input = {stdin, {}, false};
    if (std::strcmp(path, "-") != 0) {
        input.stream = std::fopen(path, "rb");
        if (input.stream == nullptr)
            REPORT_CALL_FAILURE("fopen");
    }
    input.regular =
        fstat(fileno(input.stream), &input.opened) == 0 && S_ISREG(input.opened.st_mode);
    return input;
}

// A mapped input that shrinks under the packer (another program cuts the
// file short), or whose pages can no longer be read, faults on the next
// access to what is gone: the report ends the process and removes any
// temporary output.
extern "C" void input_failed(int)
{
    REPORT_FAILURE("input file shrank or failed while it was packed");
}

// Maps a regular file of size bytes read from its start, or returns
// nullptr where it cannot be mapped (or is read from elsewhere).
static const std::uint8_t* map_input(int fd, std::size_t size)
{
    return lseek(fd, 0, SEEK_CUR) != 0 ? nullptr : map_file(fd, size, true, input_failed);
}

Input read_input(const InputFile& file, Bytes& buffer)
{
    std::FILE* input = file.stream;
    if (file.regular) {
        if (static_cast<std::uint64_t>(file.opened.st_size) > largest_input)
            REPORT_FAILURE("input too large for LZH8");
        auto size = static_cast<std::size_t>(file.opened.st_size);
        if (const std::uint8_t* mapped = map_input(fileno(input), size))
            return {mapped, size};
        // Reserved first, so that huge pages can be asked for before the
        // buffer is first touched, and then faulted in at once.
        buffer.reserve(size);
        ostrel::prefer_huge_pages(buffer.data(), buffer.capacity());
        ostrel::fault_in_pages(buffer.data(), buffer.capacity());
        buffer.resize(size);
    }
    // Read straight into the buffer while it has room; once it is full, or
    // the size was not known, whatever follows comes in chunks that the
    // buffer grows by. The size check covers both.
    std::vector<std::uint8_t> chunk(std::size_t{1} << 16);  // off the stack, which may be small
    std::size_t filled = 0;
    for (;;) {
        std::size_t got;
        if (filled < buffer.size()) {
            got = std::fread(buffer.data() + filled, 1, buffer.size() - filled, input);
        } else {
            got = std::fread(chunk.data(), 1, chunk.size(), input);
            if (filled + got > largest_input)
                REPORT_FAILURE("input too large for LZH8");
            buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<long>(got));
        }
        filled += got;
        // One end of file ends the input: a terminal gives one for each
        // Ctrl-D, and reading on would wait for another.
        if (got == 0 || std::feof(input))
            break;
    }
    if (std::ferror(input))
        REPORT_TRANSFER_FAILURE("fread", input);
    buffer.resize(filled);  // a file that shrank while it was read
    return {buffer.data(), buffer.size()};
}

// A regular file's size, modification time and change time all stay as
// they were unless something wrote to it, renamed it over or changed its
// attributes; a rewrite in place that kept the size still moves both times.
void check_input_unchanged(const InputFile& file)
{
    struct stat now;
    if (!file.regular || fstat(fileno(file.stream), &now) != 0)
        return;
    const struct stat& then = file.opened;
    if (now.st_size != then.st_size || now.st_mtim.tv_sec != then.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != then.st_mtim.tv_nsec || now.st_ctim.tv_sec != then.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != then.st_ctim.tv_nsec)
        REPORT_FAILURE("input file changed while it was packed");
}

void close_input(const InputFile& file)
{
    if (file.stream != stdin && std::fclose(file.stream) == EOF)
        REPORT_CALL_FAILURE("fclose");
}

}  // namespace lzh8pack
