// The library's decoder held to the reference decoder, in process: on
// packed, truncated and bit-flipped files both must give the same result,
// the same bytes and the same short read.
#include "decode_cases.h"
#include "reference_decoder.h"

#include <gtest/gtest.h>

#include <ostrel/lzh8.h>

#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes plain_input(unsigned kind, std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        switch (kind) {
        case 0:  // words
            for (auto n = 2 + rng() % 6; n > 0; n--)
                bytes.push_back(static_cast<std::uint8_t>('a' + rng() % 8));
            bytes.push_back(' ');
            break;
        case 1:  // runs
            bytes.insert(bytes.end(), 1 + rng() % 300, static_cast<std::uint8_t>(rng()));
            break;
        case 2:  // noise
            bytes.push_back(static_cast<std::uint8_t>(rng()));
            break;
        default:  // echoes of every length and distance
            bytes.push_back(static_cast<std::uint8_t>(rng()));
            if (bytes.size() > 300)
                for (auto n = 3 + rng() % 256, d = 1 + rng() % 300; n > 0; n--)
                    bytes.push_back(bytes[bytes.size() - d]);
            break;
        }
    }
    bytes.resize(size);
    return bytes;
}

Bytes pack(const Bytes& plain, int level)
{
    Bytes packed(lzh8_pack_bound(plain.size()));
    std::size_t size = 0;
    EXPECT_EQ(lzh8_pack(plain.data(), plain.size(), packed.data(), packed.size(), &size, level, 0),
              LZH8_OK);
    packed.resize(size);
    return packed;
}

#ifdef OSTREL_SANITIZED
const unsigned sanitized_share = 3;
#else
const unsigned sanitized_share = 1;
#endif

class Differential : public ::testing::Test {
  protected:
    void compare(const Bytes& file, const std::string& what)
    {
        ASSERT_EQ(difference_from_reference(file.data(), file.size()), "") << what;
        compared++;
    }

    // The file whole, cut at many lengths (every length near the end,
    // where the fast loop hands over to the careful one), and with bits
    // flipped; a tenth as many of the last two for a large file. Under
    // the sanitizers, which find faults in memory rather than in bytes, a
    // third as many of each: the release build compares them all.
    void sweep(const Bytes& file, const std::string& name, unsigned seed)
    {
        std::mt19937 rng(seed);
        compare(file, name);
        const unsigned share = (file.size() > 100000 ? 10 : 1) * sanitized_share;
        std::size_t tail = std::min<std::size_t>(file.size(), 300 / sanitized_share);
        for (std::size_t cut = 1; cut <= tail && !HasFatalFailure(); cut++)
            compare(Bytes(file.begin(), file.end() - static_cast<long>(cut)),
                    name + " less " + std::to_string(cut));
        for (unsigned i = 0; i < 300 / share && !HasFatalFailure(); i++) {
            std::size_t length = rng() % file.size();
            compare(Bytes(file.begin(), file.begin() + static_cast<long>(length)),
                    name + " cut to " + std::to_string(length));
        }
        for (unsigned i = 0; i < 600 / share && !HasFatalFailure(); i++) {
            Bytes damaged = file;
            std::size_t bit = rng() % (8 * file.size());
            damaged[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            compare(damaged, name + " bit " + std::to_string(bit));
        }
    }

    unsigned compared = 0;
};

TEST_F(Differential, SmallPackedFiles)
{
    for (unsigned kind = 0; kind < 4; kind++)
        for (unsigned seed = 1; seed <= 2; seed++)
            for (int level : {1, 6, 9}) {
                std::string name = "kind " + std::to_string(kind) + " seed " +
                                   std::to_string(seed) + " at -" + std::to_string(level);
                sweep(pack(plain_input(kind, 500 + 1500 * seed, seed), level), name, seed);
                if (HasFatalFailure())
                    return;
            }
    EXPECT_GE(compared, 20000u / sanitized_share);
}

// The hand-built files long enough for the fast loop.
TEST_F(Differential, HandBuiltFiles)
{
    for (const decode_cases::Success& c : decode_cases::success_cases())
        if (c.expected.size() > 1000) {
            sweep(c.input, c.name, 11);
            if (HasFatalFailure())
                return;
        }
}

TEST_F(Differential, LargePackedFiles)
{
    // Large noise is stored as its own bytes, which the decoder copies.
    for (unsigned kind : {0u, 2u, 3u}) {
        sweep(pack(plain_input(kind, 400000, 9), 6), "large kind " + std::to_string(kind), 9);
        if (HasFatalFailure())
            return;
    }
}

}  // namespace
