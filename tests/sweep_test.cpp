// Damaged files, swept: every prefix of valid files and every single-bit
// flip of small ones, each through the real binary with a time limit. Each
// run must either succeed with exactly the declared number of bytes, or
// fail with exit status 1, exactly one report line and an empty output
// file. A signal, a hang or a sanitizer's report fails the sweep.
#include "decode_cases.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using decode_cases::Bytes;

namespace {

const std::string ostrel_binary = OSTREL_BINARY;
const std::string pack_binary = LZH8PACK_BINARY;
const std::string examples = EXAMPLES_DIR;

// The declared size, where the file holds enough of a header to tell.
bool declared_size(const Bytes& file, std::uint64_t& size)
{
    if (file.size() < 4)
        return false;
    size = std::uint64_t{file[1]} | std::uint64_t{file[2]} << 8 | std::uint64_t{file[3]} << 16;
    if (size != 0)
        return true;
    if (file.size() < 8)
        return false;
    size = std::uint64_t{file[4]} | std::uint64_t{file[5]} << 8 | std::uint64_t{file[6]} << 16 |
           std::uint64_t{file[7]} << 24;
    return true;
}

class Sweep : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }

    // Runs one damaged file; returns false (after recording why) if the
    // outcome breaks the rule.
    bool check(const Bytes& file, const std::string& what)
    {
        write_file(dir + "/in", file);
        // A fresh output each time: a failure must leave a new output empty
        // (an existing one would keep what it held).
        std::filesystem::remove(dir + "/out");
        Outcome outcome = run({ostrel_binary, dir + "/in", dir + "/out"}, 20);
        Bytes written = read_file(dir + "/out");
        std::uint64_t size = 0;
        static const std::regex one_report(R"([a-z_]+\.cpp:[0-9]+:[A-Za-z0-9_]+:[^\n]*\n)");
        if (outcome.status == 0 && declared_size(file, size) && written.size() == size &&
            outcome.err.empty() && outcome.out.empty())
            return true;
        if (outcome.status == 1 && std::regex_match(outcome.err, one_report) && written.empty() &&
            outcome.out.empty())
            return true;
        ADD_FAILURE() << what << ": status " << outcome.status << ", signal " << outcome.signal
                      << ", " << written.size() << " bytes written, stderr:\n"
                      << outcome.err;
        return false;
    }

    void every_prefix(const Bytes& file, const std::string& name)
    {
        for (std::size_t length = 0; length <= file.size(); length++)
            if (!check(Bytes(file.begin(), file.begin() + static_cast<long>(length)),
                       name + " cut to " + std::to_string(length)))
                return;
    }

    void every_bit_flip(const Bytes& file, const std::string& name)
    {
        for (std::size_t bit = 0; bit < 8 * file.size(); bit++) {
            Bytes damaged = file;
            damaged[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            if (!check(damaged, name + " with bit " + std::to_string(bit) + " flipped"))
                return;
        }
    }

    // A small file made by the packer: text with matches of every kind.
    Bytes packed_sample()
    {
        Bytes text = read_file(examples + "/stock.txt");
        text.resize(700);
        write_file(dir + "/plain", text);
        Outcome packed = run({pack_binary, dir + "/plain", dir + "/packed"});
        EXPECT_EQ(packed.status, 0);
        return read_file(dir + "/packed");
    }

    std::string dir;
};

TEST_F(Sweep, PrefixesOfThePackedExample)
{
    every_prefix(read_file(examples + "/stock.lzh8"), "stock.lzh8");
}

TEST_F(Sweep, PrefixesOfHandBuiltFiles)
{
    for (const auto& c : decode_cases::success_cases())
        if (c.input.size() < 2000)
            every_prefix(c.input, c.name);
}

TEST_F(Sweep, BitFlipsOfTheSmallExamples)
{
    every_bit_flip(decode_cases::example_26, "example_26");
    every_bit_flip(decode_cases::example_31, "example_31");
}

TEST_F(Sweep, BitFlipsOfAPackedFile)
{
    every_bit_flip(packed_sample(), "packed sample");
}

}  // namespace
