// The reference decoder the library's decoder is held to: the format
// taken as plainly as it reads, one byte per checked read, one table
// lookup per bit, one byte copied at a time.
#ifndef OSTREL_TESTS_REFERENCE_DECODER_H
#define OSTREL_TESTS_REFERENCE_DECODER_H

#include <ostrel/lzh8.h>

#include <cstdint>
#include <string>
#include <vector>

// What decoding gave: the result, the bytes made (the whole declared size
// on success, nothing otherwise) and, for LZH8_TRUNCATED, where the read
// that came up short began and its width.
struct ReferenceOutcome {
    lzh8_result result;
    std::vector<std::uint8_t> bytes;
    lzh8_details details;
};

// Decodes in[0..size); declared sizes above most_declared are not decoded
// (their result is LZH8_OUTPUT_TOO_SMALL), to keep memory in bounds.
ReferenceOutcome reference_decode(const std::uint8_t* in, std::size_t size,
                                  std::uint32_t most_declared = 0xFFFFFFFF);

// Decodes in with lzh8_decode_detailed into a buffer of exactly the
// declared size (and, for a declared size above 0, with one byte less,
// which must be refused at once) and with the reference decoder, and tells
// what differs: the result, the bytes, the details of a short read, or
// bytes written past the declared size. Empty when nothing does. Declared
// sizes above most_declared are skipped. The input is decoded in lanes of
// a few bytes too, on one thread and, with lanes_on_threads, on two and
// eight, and, with through_stream, through a stream decoder (see
// difference_in_stream), each held to the same result, bytes and details.
std::string difference_from_reference(const std::uint8_t* in, std::size_t size,
                                      std::uint32_t most_declared = 1u << 26,
                                      bool lanes_on_threads = true, bool through_stream = true);

// Decodes in through a stream decoder, fed pieces of in_pieces' sizes and
// drained into pieces of out_pieces' sizes (each list taken in turn,
// over and over; a size of 0 in out_pieces is a call with no room), and
// tells what differs from what lzh8_decode_detailed gives, expected: the
// result, the bytes, the short read, a failure that is not kept, or
// input used beyond the file or short of it. Empty when nothing does.
std::string difference_in_stream(const std::uint8_t* in, std::size_t size,
                                 const ReferenceOutcome& expected,
                                 const std::vector<std::size_t>& in_pieces,
                                 const std::vector<std::size_t>& out_pieces);

#endif
