// Hand-built LZH8 files with what decoding each must give: the decoder's
// tests run them, and the fuzzer starts from them.
#ifndef OSTREL_TESTS_DECODE_CASES_H
#define OSTREL_TESTS_DECODE_CASES_H

#include "lzh8_builder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace decode_cases {

using Bytes = std::vector<std::uint8_t>;
using lzh8::Code;

// A length code with literals 'a' to 'd' and several match lengths, and an
// offset code with k = 0, 1, 2, 16, 17 and 20.
extern const Code lengths_code;
extern const Code offsets_code;

// The two small example files of the format's description.
extern const Bytes example_26;
extern const Bytes example_31;

Bytes text_bytes(const std::string& text);
// A file of the codes above with the given declared size and bit stream.
lzh8::File coded_file(std::uint32_t size, const std::string& stream);
// The bit stream of the text's literals in the length code above.
std::string literals(const std::string& text);

// A file that decodes to exactly the expected bytes.
struct Success {
    const char* name;
    Bytes input;
    Bytes expected;
};

// A file that must be refused with standard error matching the pattern.
struct Refusal {
    const char* name;
    Bytes input;
    const char* pattern;
};

std::vector<Success> success_cases();
std::vector<Refusal> refusal_cases();

}  // namespace decode_cases

#endif
