// ostrel: decodes one LZH8-compressed file into its plain bytes.
//
// The decoding is the library's (lzh8_decode, see lib/format.h for the
// format); the program reads the input, places the image, writes the
// output and reports every failure on standard error, naming the reader
// that met the end of a short input as a reader of the file would.

#include "files.h"
#include "memory.h"
#include "util.h"

#include <ostrel/lzh8.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using ostrel::huge_page_size;

// Where the image goes. An output that is a regular file of one link, in
// a directory that takes a temporary file, is replaced whole: the image is
// written to a temporary file beside it, which is renamed over it once
// complete and closed. Any other output is written in place and then cut
// to the image's length; standard output, named by any of its names, is
// written as it stands, neither opened afresh nor cut.
struct Output {
    std::FILE* stream;
    std::string replaced;  // the file the temporary replaces, links followed
    bool via_temporary;
    bool cut;
};

// Opens path as the output; false, with errno set, when it cannot be
// opened or created. A new output is created empty here, before any
// decoding, and an existing one is left as it is; a symbolic link stays a
// link, and the file it leads to is the output.
bool open_output(const char* path, Output& output)
{
    output = {stdout, "", false, false};
    if (names_standard_output(path))
        return true;
    std::string target;
    bool followed = follow_links(path, target);
    int fd = open(followed ? target.c_str() : path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat existing;
    if (fd < 0 || fstat(fd, &existing) != 0)
        return false;
    if (followed && S_ISREG(existing.st_mode) && existing.st_nlink == 1 &&
        replaceable(target, existing)) {
        int temporary = create_temporary(target);
        if (temporary >= 0 && take_attributes(temporary, &existing)) {
            close(fd);
            output = {fdopen(temporary, "wb"), target, true, false};
            return output.stream != nullptr;
        }
        if (temporary >= 0)
            discard_temporary(temporary);
    }
    output = {fdopen(fd, "wb"), "", false, S_ISREG(existing.st_mode)};
    return output.stream != nullptr;
}

// Faulting the image in page by page is a large share of decoding: each
// 4 KiB page's first write traps into the kernel. An image of 1.5 MiB or
// more starts on a 2 MiB page and asks for huge pages over as many as it
// fills, and over the last, partly filled one too when the image leaves at
// most an eighth of it unused, which keeps memory within a quarter MiB of
// the image's size. The block the image is placed in is allocated a huge page
// larger; only the pages the image takes are ever touched. Returns the
// bytes of huge pages, 0 for a smaller image.
std::size_t image_huge_part(std::size_t image_bytes)
{
    return (image_bytes + huge_page_size / 8) & ~(huge_page_size - 1);
}

std::uint8_t* place_on_huge_page(void* block)
{
    auto at = reinterpret_cast<std::uintptr_t>(block);
    return reinterpret_cast<std::uint8_t*>((at + huge_page_size - 1) & ~(huge_page_size - 1));
}

// The most input that decoding an image of size bytes can read: the
// longest header and tables, then at most 574 bits for each byte made (a
// code of up to 512 bits for a match length, each of the 511 pairs of the
// length table one level deeper, an offset code of up to 32 and 30 bits
// after it, for a match that the declared size may cut to one byte).
// Reading no further keeps a large trailing part of a file unread.
std::uint64_t most_input_needed(std::uint32_t size)
{
    return 8 + 4 * 65536 + 4 * 256 + (std::uint64_t{size} * 574 + 7) / 8;
}

// Makes again, through util's reader of its width, the read that decoding
// found short, at the offset where it began: it meets the end of the
// input file there and reports it, as a reader of the file would.
void replay_short_read(std::FILE* input, const lzh8_details& details)
{
    if (fseeko(input, static_cast<off_t>(details.short_read_offset), SEEK_SET) != 0)
        return;
    if (details.short_read_width == 4)
        get_32_le(input);
    else if (details.short_read_width == 2)
        get_16_le(input);
    else
        get_byte(input);
}

// A mapped input that shrinks under the decoder (another program cuts the
// file short), or whose pages can no longer be read, faults on the next
// access to what is gone.
extern "C" void input_failed(int)
{
    REPORT_FAILURE("input file shrank or failed while it was decoded");
}

}  // namespace

void analyze_LZH8(std::FILE* input, std::FILE* output)
{
    // The input is read whole, as far as decoding can need it: first its
    // header's word, through util's reader, which reports a short or
    // unreadable input as the first read of it meets it.
    get_32_le_seek(0, input);
    if (std::fseek(input, 0, SEEK_END) != 0)
        REPORT_CALL_FAILURE("fseek");
    long input_length = std::ftell(input);
    if (input_length == -1)
        REPORT_CALL_FAILURE("ftell");
    std::uint8_t head[8];
    std::rewind(input);
    std::size_t head_bytes = std::fread(head, 1, sizeof head, input);
    std::size_t size = 0;
    lzh8_result result = lzh8_decoded_size(head, head_bytes, &size);
    const std::size_t wanted =
        static_cast<std::size_t>(std::min(static_cast<std::uint64_t>(input_length),
                                          most_input_needed(static_cast<std::uint32_t>(size))));
    // A file is mapped where it can be, else read.
    std::size_t file_bytes = wanted;
    const std::uint8_t* const mapped = map_file(fileno(input), wanted, input_failed);
    std::uint8_t* read_copy = nullptr;
    if (mapped == nullptr) {
        read_copy = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(wanted, 1)));
        if (read_copy == nullptr)
            REPORT_CALL_FAILURE("malloc");
        ostrel::fault_in_pages(read_copy, wanted);
        std::rewind(input);
        file_bytes = std::fread(read_copy, 1, wanted, input);
        if (file_bytes < wanted && std::ferror(input)) {
            std::clearerr(input);
            replay_short_read(input, {file_bytes, 1});
        }
    }
    const std::uint8_t* const file = mapped != nullptr ? mapped : read_copy;

    std::uint8_t* image = nullptr;
    void* block = nullptr;
    if (result == LZH8_OK) {
        std::size_t huge_part = image_huge_part(size);
        block = std::malloc(huge_part > 0 ? std::max(huge_part, size) + huge_page_size
                                          : std::max<std::size_t>(size, 1));
        if (block == nullptr)
            REPORT_CALL_FAILURE("malloc");
        image = static_cast<std::uint8_t*>(block);
        if (huge_part > 0) {
            image = place_on_huge_page(block);
            ostrel::prefer_huge_pages(image, huge_part);
        }
        // The rest, less than 1.5 MiB whatever the declared size, is made
        // present at once.
        if (size > huge_part)
            ostrel::fault_in_pages(image + huge_part, size - huge_part);
    }
    lzh8_details details;
    std::size_t decoded = 0;
    result = lzh8_decode_detailed(file, file_bytes, image, size, &decoded, &details);
    if (result == LZH8_TRUNCATED)
        replay_short_read(input, details);
    if (result != LZH8_OK)
        REPORT_FAILURE(lzh8_result_text(result));

    put_bytes(output, image, static_cast<std::uint32_t>(size));
    std::free(block);
    std::free(read_copy);
    if (mapped != nullptr)
        munmap(const_cast<std::uint8_t*>(mapped), wanted);
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("ostrel %s\n\n", "0.8 " __DATE__);
        std::printf("Usage: %s infile outfile\n", argc > 0 ? argv[0] : "ostrel");
        std::exit(1);
    }
    guard_standard_descriptors();
    std::FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr)
        REPORT_CALL_FAILURE("fopen");
    if (names_open_file(argv[2], input))
        REPORT_FAILURE("input and output are the same file");
    // In a block of its own, so that the output's name is freed before the
    // exit.
    {
        Output output;
        if (!open_output(argv[2], output))
            REPORT_CALL_FAILURE("fopen");
        // The input must be a file that can be positioned; its length itself
        // is not needed.
        if (std::fseek(input, 0, SEEK_END) != 0)
            REPORT_CALL_FAILURE("fseek");
        if (std::ftell(input) == -1)
            REPORT_CALL_FAILURE("ftell");
        std::rewind(input);

        analyze_LZH8(input, output.stream);
        // Written in place, what a longer existing file held past the image
        // goes. Cutting before the stream's buffer is flushed is safe: the
        // buffered bytes lie below the logical position, so flushing them
        // cannot lengthen the file again, and a failing flush is still
        // reported by fclose.
        if (output.cut && ftruncate(fileno(output.stream), ftello(output.stream)) != 0)
            REPORT_CALL_FAILURE("ftruncate");
        if (std::fclose(output.stream) == EOF)
            REPORT_CALL_FAILURE("fclose");
        if (output.via_temporary && !replace_output(output.replaced))
            REPORT_CALL_FAILURE("rename");
    }
    if (std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    std::exit(0);
}
