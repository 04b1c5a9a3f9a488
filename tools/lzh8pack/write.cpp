// The output file, which never holds a partial file.
#include "lzh8pack.h"

#include "files.h"
#include "util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace lzh8pack {

// ---- The output file ----------------------------------------------------

// The temporary file beside the output, given the attributes of the file
// it replaces, or those of a new file.
static std::FILE* create_temporary(const OutputTarget& target)
{
    const char* failed;
    std::FILE* stream = open_temporary(target, failed);
    if (stream == nullptr)
        REPORT_CALL_FAILURE(failed);
    return stream;
}

// The file comes in pieces of 64 KiB, written as they are: a buffer would
// only copy them, and would keep a write's refusal from showing at once.
static Output unbuffered(Output output)
{
    std::setvbuf(output.stream, nullptr, _IONBF, 0);
    return output;
}

Output open_output(const char* path, const InputFile& input)
{
    if (*path == '\0') {
        errno = ENOENT;
        REPORT_CALL_FAILURE("open");
    }
    const OutputTarget target = find_output(path, true);
    if (target.exists && same_file(input.opened, target.existing))
        REPORT_FAILURE("input and output are the same file");
    if (target.standard_output)
        return unbuffered({stdout, "", false});
    if (!takes_temporary(target)) {
        std::FILE* stream = std::fopen(path, "wb");
        if (stream == nullptr)
            REPORT_CALL_FAILURE("fopen");
        return unbuffered({stream, "", false});
    }
    if (target.exists) {
        // Refused now, not after packing: a file the user may not write,
        // or may not replace in a sticky directory. A program running
        // from the file is no reason: renaming over it leaves it running.
        if (faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0 && errno != ETXTBSY)
            REPORT_CALL_FAILURE("open");
        if (!replaceable(target.path, target.existing)) {
            errno = EACCES;
            REPORT_CALL_FAILURE("open");
        }
    }
    return unbuffered({create_temporary(target), target.path, true});
}

void write_output(Output& output, const std::uint8_t* bytes, std::size_t size)
{
    put_bytes(output.stream, bytes, static_cast<std::uint32_t>(size));
}

void finish_output(Output& output)
{
    if (std::fclose(output.stream) == EOF)
        REPORT_CALL_FAILURE("fclose");
    if (output.via_temporary && !replace_output(output.path))
        REPORT_CALL_FAILURE("rename");
}

}  // namespace lzh8pack
