// Coverage-guided fuzzing of lzh8_decode, in process, held to the
// reference decoder: the same result, the same bytes and the same short
// read, decoding into a buffer of exactly the declared size, and a buffer
// one byte short refused at once (see difference_from_reference); and so
// is decoding in lanes of 16 and 64 bytes, on the calling thread (threads
// started for every input would take 40 times as long; the test suite and
// ThreadSanitizer run lanes on threads). The stream decoder has a target
// of its own (stream_fuzzer.cpp), whose input picks the cuts; fed a byte
// at a time here, it took a third of each run. Under AddressSanitizer any
// write past the buffer is a finding too.
#include "reference_decoder.h"

#include <cstdio>

// Declared sizes above this are skipped, to keep each run small; the test
// suite decodes larger files.
const std::uint32_t most_declared = 1 << 17;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string difference = difference_from_reference(data, size, most_declared, false, false);
    if (!difference.empty()) {
        std::fprintf(stderr, "lzh8_decode differs from the reference decoder: %s\n",
                     difference.c_str());
        __builtin_trap();
    }
    return 0;
}
