// Checked stream I/O: readers and writers that either succeed or end the
// process with a one-line report on standard error and exit status 1.
// Callers use results without checking them.
#ifndef OSTREL_UTIL_H
#define OSTREL_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The three report forms. Each names the site of the check (file, line,
// function) and ends the process with status 1.
//   report_call_failure:     "file:line:function:call: " + the errno text
//   report_transfer_failure: the same prefix, then "unexpected EOF" when the
//                            stream is at its end, else "call: " + errno text
//   report_failure:          "file:line:function: message"
[[noreturn]] void report_call_failure(const char* file, int line, const char* function,
                                      const char* call);
[[noreturn]] void report_transfer_failure(const char* file, int line, const char* function,
                                          const char* call, std::FILE* stream);
[[noreturn]] void report_failure(const char* file, int line, const char* function,
                                 const char* message);

// Call-site wrappers: the report carries the site that detected the failure.
#define REPORT_CALL_FAILURE(call) report_call_failure(__FILE__, __LINE__, __func__, (call))
#define REPORT_TRANSFER_FAILURE(call, stream)                                                      \
    report_transfer_failure(__FILE__, __LINE__, __func__, (call), (stream))
#define REPORT_FAILURE(message) report_failure(__FILE__, __LINE__, __func__, (message))

// Readers. The plain form reads at the stream's current position; the _seek
// form first seeks to an absolute offset from the start of the stream.
std::uint8_t get_byte(std::FILE* stream);
std::uint8_t get_byte_seek(std::int32_t offset, std::FILE* stream);
std::uint16_t get_16_le(std::FILE* stream);
std::uint16_t get_16_le_seek(std::int32_t offset, std::FILE* stream);
std::uint16_t get_16_be(std::FILE* stream);
std::uint16_t get_16_be_seek(std::int32_t offset, std::FILE* stream);
std::uint32_t get_32_le(std::FILE* stream);
std::uint32_t get_32_le_seek(std::int32_t offset, std::FILE* stream);
std::uint32_t get_32_be(std::FILE* stream);
std::uint32_t get_32_be_seek(std::int32_t offset, std::FILE* stream);
std::uint64_t get_64_be(std::FILE* stream);
std::uint64_t get_64_be_seek(std::int32_t offset, std::FILE* stream);
void get_bytes(std::FILE* stream, void* buffer, std::uint32_t count);
void get_bytes_seek(std::int32_t offset, std::FILE* stream, void* buffer, std::uint32_t count);

// Writers: the value first, then (positioned form) the offset, then the
// stream. Only the low bits that the width holds are written.
void put_byte(std::uint32_t value, std::FILE* stream);
void put_byte_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream);
void put_16_be(std::uint32_t value, std::FILE* stream);
void put_16_be_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream);
void put_16_le(std::uint32_t value, std::FILE* stream);
void put_16_le_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream);
void put_32_be(std::uint32_t value, std::FILE* stream);
void put_32_be_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream);
void put_32_le(std::uint32_t value, std::FILE* stream);
void put_32_le_seek(std::uint32_t value, std::int32_t offset, std::FILE* stream);
void put_bytes(std::FILE* stream, const void* buffer, std::uint32_t count);
void put_bytes_seek(std::int32_t offset, std::FILE* stream, const void* buffer,
                    std::uint32_t count);

// Copies count bytes from input at offset to wherever output stands, 2048
// bytes at a time.
void dump(std::FILE* input, std::FILE* output, std::int32_t offset, std::uint32_t count);
// Writes zero bytes from offset up to the next multiple of alignment and
// returns that multiple.
std::int32_t pad_to_multiple(std::int32_t offset, std::int32_t alignment, std::FILE* stream);
// Parses a whole text as a signed 32-bit number (decimal, 0x hex, 0 octal).
std::int32_t read_long(const char* text);

// Byte-order codecs on memory buffers; the caller provides the bytes.
std::uint16_t mem_get_16_le(const std::uint8_t* buffer);
std::uint16_t mem_get_16_be(const std::uint8_t* buffer);
std::uint32_t mem_get_32_le(const std::uint8_t* buffer);
std::uint32_t mem_get_32_be(const std::uint8_t* buffer);
std::uint64_t mem_get_64_be(const std::uint8_t* buffer);
void mem_put_16_le(std::uint32_t value, std::uint8_t* buffer);
void mem_put_16_be(std::uint32_t value, std::uint8_t* buffer);
void mem_put_32_le(std::uint32_t value, std::uint8_t* buffer);
void mem_put_32_be(std::uint32_t value, std::uint8_t* buffer);

// Writes |count| spaces (a negative count is a left-justified field).
void print_spaces(std::FILE* stream, int count);

#endif
