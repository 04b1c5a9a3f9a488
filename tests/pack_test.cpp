// lzh8pack and ostrel together: whatever goes in must come back out byte
// for byte, and the packer must fail the way ostrel does.
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string ostrel_binary = OSTREL_BINARY;
const std::string pack_binary = LZH8PACK_BINARY;

Bytes random_bytes(std::size_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Words drawn from a small vocabulary: text-like, many short matches.
Bytes text(std::size_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 500; i++) {
        std::string word;
        for (unsigned n = 2 + rng() % 8; n > 0; n--)
            word += static_cast<char>('a' + rng() % 26);
        words.push_back(word);
    }
    Bytes bytes;
    while (bytes.size() < count) {
        const std::string& word = words[rng() % words.size()];
        bytes.insert(bytes.end(), word.begin(), word.end());
        bytes.push_back(rng() % 12 == 0 ? '\n' : ' ');
    }
    bytes.resize(count);
    return bytes;
}

// Runs of one byte, of random lengths up to run_max.
Bytes runs(std::size_t count, unsigned run_max, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < count)
        bytes.insert(bytes.end(), 1 + rng() % run_max, static_cast<std::uint8_t>(rng()));
    bytes.resize(count);
    return bytes;
}

// A literal, then a copy of random length 3..258 from a random distance,
// over and over: every literal and every match length is about equally
// common, so the length code is wide and flat.
Bytes flat_alphabet(std::size_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes = random_bytes(70000, seed);
    while (bytes.size() < count) {
        bytes.push_back(static_cast<std::uint8_t>(rng()));
        unsigned length = 3 + rng() % 256, distance = 1 + rng() % 65536;
        for (unsigned i = 0; i < length; i++)
            bytes.push_back(bytes[bytes.size() - distance]);
    }
    return bytes;
}

// count random bytes, then the same bytes again: every match is exactly
// 65536 back.
Bytes repeated_window(unsigned seed)
{
    Bytes bytes = random_bytes(65536, seed);
    Bytes again(bytes.begin(), bytes.begin() + 65536);
    bytes.insert(bytes.end(), again.begin(), again.end());
    return bytes;
}

class Pack : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Packs and unpacks; returns the packed size.
    std::size_t round_trip(const Bytes& input)
    {
        write_file(dir + "/in", input);
        Outcome packed = run({pack_binary, dir + "/in", dir + "/packed"}, 600);
        EXPECT_EQ(packed.status, 0) << packed.err;
        EXPECT_EQ(packed.out + packed.err, "");
        Outcome unpacked = run({ostrel_binary, dir + "/packed", dir + "/out"}, 600);
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_EQ(unpacked.out + unpacked.err, "");
        EXPECT_TRUE(read_file(dir + "/out") == input) << "decoded bytes differ";
        return read_file(dir + "/packed").size();
    }

    std::string dir;
};

struct Input {
    std::string name;
    Bytes bytes;
    double most;  // the packed size may be at most this share of the input, plus 2 KiB
};

std::vector<Input> inputs()
{
    std::vector<Input> cases;
    cases.push_back({"empty", {}, 1});
    cases.push_back({"one_byte", {0x7F}, 1});
    Bytes all_values;
    for (int i = 0; i < 256; i++)
        all_values.push_back(static_cast<std::uint8_t>(i));
    cases.push_back({"all_256_values", all_values, 1.1});
    Bytes all_values_repeated;
    for (int i = 0; i < 40; i++)
        all_values_repeated.insert(all_values_repeated.end(), all_values.begin(), all_values.end());
    cases.push_back({"all_256_values_repeated", all_values_repeated, 0.1});
    cases.push_back({"one_long_run", Bytes(1000000, 0), 0.01});
    for (unsigned seed : {1u, 2u, 3u}) {
        std::string s = std::to_string(seed);
        cases.push_back({"random_" + s, random_bytes(100000 + seed * 7777, seed), 1.02});
        cases.push_back({"text_" + s, text(300000 + seed * 999, seed), 0.45});
        cases.push_back({"runs_" + s, runs(400000, 600 * seed, seed), 0.1});
        cases.push_back({"short_runs_" + s, runs(200000, 4, seed), 0.8});
        cases.push_back({"flat_alphabet_" + s, flat_alphabet(600000, seed), 0.3});
        cases.push_back({"distance_65536_" + s, repeated_window(seed), 0.52});
    }
    // Lengths 3 (a three-byte echo) and 258 (a long echo) between random bytes.
    Bytes lengths = random_bytes(1000, 9);
    for (unsigned length : {3u, 258u, 3u, 259u, 516u}) {
        Bytes noise = random_bytes(50, length);
        lengths.insert(lengths.end(), lengths.begin() + 100, lengths.begin() + 100 + length);
        lengths.insert(lengths.end(), noise.begin(), noise.end());
    }
    cases.push_back({"lengths_3_and_258", lengths, 1});
    cases.push_back({"executable", read_file(ostrel_binary), 0.7});
    return cases;
}

TEST_F(Pack, EveryInputComesBackExactly)
{
    for (const Input& input : inputs()) {
        SCOPED_TRACE(input.name);
        std::size_t packed = round_trip(input.bytes);
        EXPECT_LE(packed, input.bytes.size() * input.most + 2048);
    }
}

// Over 16 MiB the size no longer fits the short header.
TEST_F(Pack, InputOver16MiBTakesTheLongHeader)
{
    Bytes big = text(17 << 20, 4);
    Bytes noise = random_bytes(1 << 20, 4);
    std::copy(noise.begin(), noise.end(), big.begin() + (8 << 20));
    round_trip(big);
    Bytes packed = read_file(dir + "/packed");
    ASSERT_GE(packed.size(), 8u);
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 8),
              (Bytes{0x40, 0, 0, 0, 0x00, 0x00, 0x10, 0x01}));
}

TEST_F(Pack, HeaderForms)
{
    struct Case {
        std::size_t size;
        Bytes header;
    };
    const std::vector<Case> cases = {{0, {0x40, 0, 0, 0, 0, 0, 0, 0}},
                                     {1, {0x40, 1, 0, 0}},
                                     {0x123456, {0x40, 0x56, 0x34, 0x12}},
                                     {0xFFFFFF, {0x40, 0xFF, 0xFF, 0xFF}},
                                     {0x1000000, {0x40, 0, 0, 0, 0, 0, 0, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        round_trip(Bytes(c.size, 'x'));
        Bytes packed = read_file(dir + "/packed");
        ASSERT_GE(packed.size(), c.header.size());
        EXPECT_EQ(Bytes(packed.begin(), packed.begin() + static_cast<long>(c.header.size())),
                  c.header);
    }
}

TEST_F(Pack, FailuresAreReportedLikeOstrels)
{
    Outcome usage = run({pack_binary, "only-one"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out, "Usage: " + pack_binary + " infile outfile\n");

    Outcome missing = run({pack_binary, dir + "/missing", dir + "/out"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(std::regex_match(
        missing.err,
        std::regex(R"(tools/lzh8pack\.cpp:[0-9]+:read_input:fopen: No such file or directory\n)")))
        << missing.err;
    EXPECT_FALSE(file_exists(dir + "/out"));

    write_file(dir + "/in", {1, 2, 3});
    Outcome uncreatable = run({pack_binary, dir + "/in", dir + "/no/dir/out"});
    EXPECT_EQ(uncreatable.status, 1);
    EXPECT_TRUE(std::regex_match(
        uncreatable.err,
        std::regex(R"(tools/lzh8pack\.cpp:[0-9]+:write_lzh8:fopen: No such file or directory\n)")))
        << uncreatable.err;

    Outcome directory = run({pack_binary, dir, dir + "/out"});
    EXPECT_EQ(directory.status, 1);
    EXPECT_TRUE(std::regex_match(
        directory.err,
        std::regex(R"(tools/lzh8pack\.cpp:[0-9]+:read_input:fread: fread: Is a directory\n)")))
        << directory.err;
}

}  // namespace
