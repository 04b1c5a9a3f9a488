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
    OutputTarget target = find_output(path, false);
    if (target.standard_output)
        return true;
    int fd = open(target.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || fstat(fd, &target.existing) != 0)
        return false;
    target.exists = true;
    if (takes_temporary(target) && target.existing.st_nlink == 1 &&
        replaceable(target.path, target.existing)) {
        const char* failed;
        if (std::FILE* temporary = open_temporary(target, failed)) {
            close(fd);
            output = {temporary, target.path, true, false};
            return true;
        }
    }
    output = {fdopen(fd, "wb"), "", false, S_ISREG(target.existing.st_mode)};
    return output.stream != nullptr;
}

// The most input that decoding an image of size bytes can read: the
// longest header and tables, then at most 574 bits for each byte made (a
// code of up to 512 bits for a match length, each of the 511 pairs of the
// length table one level deeper, an offset code of up to 32 and 30 bits
// after it, for a match that the declared size may cut to one byte).
std::uint64_t most_input_needed(std::uint32_t size)
{
    return 8 + 4 * 65536 + 4 * 256 + (std::uint64_t{size} * 574 + 7) / 8;
}

// The header as read through util's readers: its first word, which holds
// the type tag, and the declared size.
struct Head {
    std::uint8_t bytes[8];
    std::size_t count;  // of bytes read, 4 to 8
    std::size_t size;   // declared; 0 when the long form's word is cut short
};

// The size word of the long form, after the first word, which is read
// already. A short one is left for decoding to meet and report.
void read_long_size(std::FILE* input, Head& head)
{
    head.count += std::fread(head.bytes + 4, 1, 4, input);
    lzh8_decoded_size(head.bytes, head.count, &head.size);
}

// Where the image goes (see `image_huge_part`): the block allocated and the
// image placed in it, or a null block.
struct Image {
    void* block;
    std::uint8_t* bytes;
};

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

Image allocate_image(std::size_t size)
{
    const std::size_t huge_part = image_huge_part(size);
    void* block = std::malloc(huge_part > 0 ? std::max(huge_part, size) + huge_page_size
                                            : std::max<std::size_t>(size, 1));
    if (block == nullptr || huge_part == 0) {
        // Less than 1.5 MiB: made present at once.
        if (block != nullptr)
            ostrel::fault_in_pages(block, size);
        return {block, static_cast<std::uint8_t*>(block)};
    }
    auto at = reinterpret_cast<std::uintptr_t>(block);
    auto* image =
        reinterpret_cast<std::uint8_t*>((at + huge_page_size - 1) & ~(huge_page_size - 1));
    ostrel::prefer_huge_pages(image, huge_part);
    if (size > huge_part)
        ostrel::fault_in_pages(image + huge_part, size - huge_part);
    return {block, image};
}

// The input as decoding sees it, and how the decoding went. The input is
// mapped where it can be, else read; either way no byte is fetched before
// decoding reaches it, so data after the stream, however long, is never
// read, and memory stays the image plus what decoding reads.
struct Decoding {
    const std::uint8_t* mapped = nullptr;  // the mapping, of mapped_size bytes
    std::size_t mapped_size = 0;
    std::uint8_t* copy = nullptr;  // or the bytes read
    lzh8_result result = LZH8_OK;
    lzh8_details details = {};
    bool read_failed = false;  // at details.short_read_offset
};

// A mapped input that shrinks under the decoder (another program cuts the
// file short), or whose pages can no longer be read, faults on the next
// access to what is gone.
extern "C" void input_failed(int)
{
    REPORT_FAILURE("input file shrank or failed while it was decoded");
}

// Decodes the input's first bytes into the image of size bytes, on every
// core the process may run on.
void decode_from(const std::uint8_t* bytes, std::size_t bytes_size, std::size_t size, Image image,
                 Decoding& decoding)
{
    std::size_t decoded = 0;
    decoding.result =
        lzh8_decode_parallel(bytes, bytes_size, image.bytes, size, &decoded, &decoding.details, 0);
}

// Decodes a regular file through a mapping of as much of it as decoding
// can need. Its pages are read as the decoder first touches them; only
// they take memory. False where the file cannot be mapped.
bool decode_mapped(std::FILE* input, std::size_t size, Image image, Decoding& decoding)
{
    struct stat info;
    if (fstat(fileno(input), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0)
        return false;
    const auto length = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size),
                                most_input_needed(static_cast<std::uint32_t>(size))));
    decoding.mapped = map_file(fileno(input), length, false, input_failed);
    if (decoding.mapped == nullptr)
        return false;
    decoding.mapped_size = length;
    decode_from(decoding.mapped, length, size, image, decoding);
    return true;
}

// Decodes an input that cannot be mapped (a device, a file of /proc, or a
// mapping refused for want of address space) by reading it as a stream, from
// where the header left it, no faster than decoding needs it: first 1 MiB,
// then twice as much each time decoding runs out, at most what it can
// need. Memory for the copy thus stays within twice what decoding reads
// (and 1 MiB), and decoding again from the start costs at most as much
// as decoding once more. False when memory for the copy runs out.
bool decode_read(std::FILE* input, const Head& head, Image image, Decoding& decoding)
{
    const std::size_t size = head.size;
    const auto most = static_cast<std::size_t>(most_input_needed(static_cast<std::uint32_t>(size)));
    std::size_t capacity = std::min<std::size_t>(most, 1 << 20);
    std::size_t have = head.count;
    for (;;) {
        auto* grown = static_cast<std::uint8_t*>(std::realloc(decoding.copy, capacity));
        if (grown == nullptr)
            return false;
        if (decoding.copy == nullptr)
            std::memcpy(grown, head.bytes, head.count);
        decoding.copy = grown;
        have += std::fread(decoding.copy + have, 1, capacity - have, input);
        if (std::ferror(input)) {
            decoding.read_failed = true;
            decoding.details = {have, 1};
            return true;
        }
        decode_from(decoding.copy, have, size, image, decoding);
        if (decoding.result != LZH8_TRUNCATED || have < capacity || capacity == most)
            return true;
        capacity = std::min(most, 2 * capacity);
    }
}

// Makes again, through util's reader of its width, the read that decoding
// found short, at the offset where it began: it meets the end of the
// input file there and reports it, as a reader of the file would.
void replay_short_read(std::FILE* input, const lzh8_details& details)
{
    std::clearerr(input);
    if (fseeko(input, static_cast<off_t>(details.short_read_offset), SEEK_SET) != 0)
        return;
    if (details.short_read_width == 4)
        get_32_le(input);
    else if (details.short_read_width == 2)
        get_16_le(input);
    else
        get_byte(input);
}

void release(const Image& image, const Decoding& decoding)
{
    std::free(image.block);
    std::free(decoding.copy);
    if (decoding.mapped != nullptr)
        munmap(const_cast<std::uint8_t*>(decoding.mapped), decoding.mapped_size);
}

}  // namespace

void analyze_LZH8(std::FILE* input, std::FILE* output)
{
    // The first word decides before anything else: util's reader reports an
    // input too short for it, and its low byte must be the type tag.
    Head head = {};
    const std::uint32_t word = get_32_le_seek(0, input);
    for (std::size_t b = 0; b < 4; b++)
        head.bytes[b] = static_cast<std::uint8_t>(word >> 8 * b);
    head.count = 4;
    if (lzh8_decoded_size(head.bytes, head.count, &head.size) == LZH8_NOT_LZH8)
        REPORT_FAILURE(lzh8_result_text(LZH8_NOT_LZH8));
    if (head.size == 0)
        read_long_size(input, head);

    const Image image = allocate_image(head.size);
    if (image.block == nullptr)
        REPORT_CALL_FAILURE("malloc");
    Decoding decoding;
    if (!decode_mapped(input, head.size, image, decoding) &&
        !decode_read(input, head, image, decoding))
        REPORT_CALL_FAILURE("malloc");
    if (decoding.read_failed) {
        replay_short_read(input, decoding.details);
        REPORT_TRANSFER_FAILURE("fread", input);
    }
    if (decoding.result == LZH8_TRUNCATED)
        replay_short_read(input, decoding.details);
    if (decoding.result != LZH8_OK)
        REPORT_FAILURE(lzh8_result_text(decoding.result));

    put_bytes(output, image.bytes, static_cast<std::uint32_t>(head.size));
    release(image, decoding);
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
        // is not needed: decoding reads no further than it must.
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
