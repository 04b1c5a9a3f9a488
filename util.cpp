#include "util.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

// The prefix is flushed before perror writes, so that both pieces reach
// standard error in order even if it were buffered. fprintf may itself touch
// errno, so the failing call's errno is kept aside meanwhile.
static void print_prefix(const char* file, int line, const char* function, const char* call)
{
    int saved = errno;
    std::fprintf(stderr, "%s:%d:%s:%s: ", file, line, function, call);
    std::fflush(stderr);
    errno = saved;
}

void report_call_failure(const char* file, int line, const char* function, const char* call)
{
    print_prefix(file, line, function, call);
    std::perror(nullptr);
    std::exit(1);
}

void report_transfer_failure(const char* file, int line, const char* function, const char* call,
                             std::FILE* stream)
{
    print_prefix(file, line, function, call);
    if (std::feof(stream))
        std::fputs("unexpected EOF\n", stderr);
    else
        std::perror(call);
    std::exit(1);
}

void report_failure(const char* file, int line, const char* function, const char* message)
{
    std::fprintf(stderr, "%s:%d:%s: %s\n", file, line, function, message);
    std::exit(1);
}

// Every member of the family moves its bytes through these three helpers.
// They are handed the member's own site, so a report names the member (and
// the line of its check), never the helper.
static void read_checked(std::FILE* stream, void* buffer, std::uint32_t count, const char* file,
                         int line, const char* function)
{
    if (count != 0 && std::fread(buffer, 1, count, stream) != count)
        report_transfer_failure(file, line, function, "fread", stream);
}

static void write_checked(std::FILE* stream, const void* buffer, std::uint32_t count,
                          const char* file, int line, const char* function)
{
    if (count != 0 && std::fwrite(buffer, 1, count, stream) != count)
        report_transfer_failure(file, line, function, "fwrite", stream);
}

static void seek_checked(std::FILE* stream, std::int32_t offset, const char* file, int line,
                         const char* function)
{
    if (std::fseek(stream, offset, SEEK_SET) != 0)
        report_call_failure(file, line, function, "fseek");
}

#define READ_CHECKED(stream, buffer, count)                                                        \
    read_checked((stream), (buffer), (count), __FILE__, __LINE__, __func__)
#define WRITE_CHECKED(stream, buffer, count)                                                       \
    write_checked((stream), (buffer), (count), __FILE__, __LINE__, __func__)
#define SEEK_CHECKED(stream, offset) seek_checked((stream), (offset), __FILE__, __LINE__, __func__)

// Readers: one fread of the value's width, then assembly by arithmetic.

std::uint8_t get_byte(std::FILE* stream)
{
    std::uint8_t bytes[1];
    READ_CHECKED(stream, bytes, 1);
    return bytes[0];
}

std::uint16_t get_16_le(std::FILE* stream)
{
    std::uint8_t bytes[2];
    READ_CHECKED(stream, bytes, 2);
    return mem_get_16_le(bytes);
}

std::uint16_t get_16_be(std::FILE* stream)
{
    std::uint8_t bytes[2];
    READ_CHECKED(stream, bytes, 2);
    return mem_get_16_be(bytes);
}

std::uint32_t get_32_le(std::FILE* stream)
{
    std::uint8_t bytes[4];
    READ_CHECKED(stream, bytes, 4);
    return mem_get_32_le(bytes);
}

std::uint32_t get_32_be(std::FILE* stream)
{
    std::uint8_t bytes[4];
    READ_CHECKED(stream, bytes, 4);
    return mem_get_32_be(bytes);
}

std::uint64_t get_64_be(std::FILE* stream)
{
    std::uint8_t bytes[8];
    READ_CHECKED(stream, bytes, 8);
    return mem_get_64_be(bytes);
}

void get_bytes(std::FILE* stream, void* buffer, std::uint32_t count)
{
    READ_CHECKED(stream, buffer, count);
}

// Positioned readers: a failed seek is reported here; a short read after a
// good seek is reported by the plain member.

std::uint8_t get_byte_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_byte(stream);
}

std::uint16_t get_16_le_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_16_le(stream);
}

std::uint16_t get_16_be_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_16_be(stream);
}

std::uint32_t get_32_le_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_32_le(stream);
}

std::uint32_t get_32_be_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_32_be(stream);
}

std::uint64_t get_64_be_seek(std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    return get_64_be(stream);
}

void get_bytes_seek(std::int32_t offset, std::FILE* stream, void* buffer, std::uint32_t count)
{
    SEEK_CHECKED(stream, offset);
    get_bytes(stream, buffer, count);
}

// Writers: split by arithmetic into the width's bytes, one fwrite.

void put_byte(std::uint32_t value, std::FILE* stream)
{
    std::uint8_t bytes[1] = {static_cast<std::uint8_t>(value)};
    WRITE_CHECKED(stream, bytes, 1);
}

void put_16_be(std::uint32_t value, std::FILE* stream)
{
    std::uint8_t bytes[2];
    mem_put_16_be(value, bytes);
    WRITE_CHECKED(stream, bytes, 2);
}

void put_16_le(std::uint32_t value, std::FILE* stream)
{
    std::uint8_t bytes[2];
    mem_put_16_le(value, bytes);
    WRITE_CHECKED(stream, bytes, 2);
}

void put_32_be(std::uint32_t value, std::FILE* stream)
{
    std::uint8_t bytes[4];
    mem_put_32_be(value, bytes);
    WRITE_CHECKED(stream, bytes, 4);
}

void put_32_le(std::uint32_t value, std::FILE* stream)
{
    std::uint8_t bytes[4];
    mem_put_32_le(value, bytes);
    WRITE_CHECKED(stream, bytes, 4);
}

void put_bytes(std::FILE* stream, const void* buffer, std::uint32_t count)
{
    WRITE_CHECKED(stream, buffer, count);
}

void put_byte_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    put_byte(value, stream);
}

void put_16_be_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    put_16_be(value, stream);
}

void put_16_le_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    put_16_le(value, stream);
}

void put_32_be_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    put_32_be(value, stream);
}

void put_32_le_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream)
{
    SEEK_CHECKED(stream, offset);
    put_32_le(value, stream);
}

void put_bytes_seek(std::int32_t offset, std::FILE* stream, const void* buffer, std::uint32_t count)
{
    SEEK_CHECKED(stream, offset);
    put_bytes(stream, buffer, count);
}

// Bulk copy, padding and parsing.

void dump(std::FILE* input, std::FILE* output, std::int32_t offset, std::uint32_t count)
{
    std::uint8_t chunk_buffer[2048];
    SEEK_CHECKED(input, offset);
    while (count != 0) {
        std::uint32_t chunk = count < sizeof chunk_buffer ? count : sizeof chunk_buffer;
        READ_CHECKED(input, chunk_buffer, chunk);
        WRITE_CHECKED(output, chunk_buffer, chunk);
        count -= chunk;
    }
}

std::int32_t pad_to_multiple(std::int32_t offset, std::int32_t alignment, std::FILE* stream)
{
    // The rounding needs offset + alignment - 1 to fit in 32 signed bits.
    if (alignment < 1 || offset > INT32_MAX - (alignment - 1))
        REPORT_FAILURE("bad alignment");
    std::int32_t target = (offset + (alignment - 1)) / alignment * alignment;
    for (std::int32_t position = offset; position < target; position++)
        put_byte_seek(0, position, stream);
    return target;
}

std::int32_t read_long(const char* text)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 0);
    // Some libraries flag a text without digits with EINVAL; that case is
    // judged below by what is left over, so the empty text still yields 0.
    if (end == text && errno == EINVAL)
        errno = 0;
    if (errno == 0 && (value < INT32_MIN || value > INT32_MAX))
        errno = ERANGE;
    if (errno != 0)
        REPORT_CALL_FAILURE("strtol");
    if (*end != '\0')
        REPORT_FAILURE("bad number format");
    return static_cast<std::int32_t>(value);
}

// Memory codecs: shifts only, so neither host byte order nor alignment matter.

std::uint16_t mem_get_16_le(const std::uint8_t* buffer)
{
    return static_cast<std::uint16_t>(buffer[0] | buffer[1] << 8);
}

std::uint16_t mem_get_16_be(const std::uint8_t* buffer)
{
    return static_cast<std::uint16_t>(buffer[0] << 8 | buffer[1]);
}

std::uint32_t mem_get_32_le(const std::uint8_t* buffer)
{
    return std::uint32_t{buffer[0]} | std::uint32_t{buffer[1]} << 8 |
           std::uint32_t{buffer[2]} << 16 | std::uint32_t{buffer[3]} << 24;
}

std::uint32_t mem_get_32_be(const std::uint8_t* buffer)
{
    return std::uint32_t{buffer[0]} << 24 | std::uint32_t{buffer[1]} << 16 |
           std::uint32_t{buffer[2]} << 8 | std::uint32_t{buffer[3]};
}

std::uint64_t mem_get_64_be(const std::uint8_t* buffer)
{
    return std::uint64_t{mem_get_32_be(buffer)} << 32 | mem_get_32_be(buffer + 4);
}

void mem_put_16_le(std::uint32_t value, std::uint8_t* buffer)
{
    buffer[0] = static_cast<std::uint8_t>(value);
    buffer[1] = static_cast<std::uint8_t>(value >> 8);
}

void mem_put_16_be(std::uint32_t value, std::uint8_t* buffer)
{
    buffer[0] = static_cast<std::uint8_t>(value >> 8);
    buffer[1] = static_cast<std::uint8_t>(value);
}

void mem_put_32_le(std::uint32_t value, std::uint8_t* buffer)
{
    mem_put_16_le(value, buffer);
    mem_put_16_le(value >> 16, buffer + 2);
}

void mem_put_32_be(std::uint32_t value, std::uint8_t* buffer)
{
    mem_put_16_be(value >> 16, buffer);
    mem_put_16_be(value, buffer + 2);
}

void print_spaces(std::FILE* stream, int count)
{
    std::fprintf(stream, "%*s", count, "");
}
