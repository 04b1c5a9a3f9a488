// Damaged files, swept through the library: every prefix of valid files
// and every single-bit flip of small ones must decode exactly as the
// reference decoder does (the same result, bytes and short read), with
// no write past the declared size; a crash or a sanitizer's report fails
// the sweep.
#include "decode_cases.h"
#include "reference_decoder.h"
#include "run.h"

#include <gtest/gtest.h>

#include <ostrel/lzh8.h>

using decode_cases::Bytes;

namespace {

const std::string examples = EXAMPLES_DIR;

// Stops at the first file that differs, naming it.
void expect_as_reference(const Bytes& file, const std::string& what)
{
    std::string difference = difference_from_reference(file.data(), file.size());
    ASSERT_EQ(difference, "") << what;
}

void every_prefix(const Bytes& file, const std::string& name)
{
    for (std::size_t length = 0; length <= file.size() && !testing::Test::HasFatalFailure();
         length++)
        expect_as_reference(Bytes(file.begin(), file.begin() + static_cast<long>(length)),
                            name + " cut to " + std::to_string(length));
}

void every_bit_flip(const Bytes& file, const std::string& name)
{
    for (std::size_t bit = 0; bit < 8 * file.size() && !testing::Test::HasFatalFailure(); bit++) {
        Bytes damaged = file;
        damaged[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
        expect_as_reference(damaged, name + " with bit " + std::to_string(bit) + " flipped");
    }
}

// A small file packed at level: text with matches of every kind.
Bytes packed_sample(int level)
{
    Bytes text = read_file(examples + "/stock.txt");
    text.resize(700);
    Bytes packed(lzh8_pack_bound(text.size()));
    std::size_t size = 0;
    EXPECT_EQ(lzh8_pack(text.data(), text.size(), packed.data(), packed.size(), &size, level, 1),
              LZH8_OK);
    packed.resize(size);
    return packed;
}

TEST(Sweep, PrefixesOfThePackedExample)
{
    every_prefix(read_file(examples + "/stock.lzh8"), "stock.lzh8");
}

TEST(Sweep, PrefixesOfHandBuiltFiles)
{
    for (const auto& c : decode_cases::success_cases())
        if (c.input.size() < 20000)
            every_prefix(c.input, c.name);
}

TEST(Sweep, BitFlipsOfTheSmallExamples)
{
    every_bit_flip(decode_cases::example_26, "example_26");
    every_bit_flip(decode_cases::example_31, "example_31");
}

TEST(Sweep, BitFlipsOfPackedFiles)
{
    for (int level : {1, 6, 9})
        every_bit_flip(packed_sample(level), "packed sample at -" + std::to_string(level));
}

}  // namespace
