// The fast decoder held to the reference decoder: on packed, truncated and
// bit-flipped files both binaries must print the same, exit the same and
// leave the same bytes.
#include "decode_cases.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string fast_binary = OSTREL_BINARY;
const std::string exact_binary = OSTREL_EXACT_BINARY;
const std::string pack_binary = LZH8PACK_BINARY;

#ifdef OSTREL_SANITIZED
const unsigned scale = 3;  // the sanitizer build runs a third of the cases
#else
const unsigned scale = 1;
#endif

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

class Differential : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }

    Bytes pack(const Bytes& plain)
    {
        write_file(dir + "/plain", plain);
        EXPECT_EQ(run({pack_binary, dir + "/plain", dir + "/packed"}).status, 0);
        return read_file(dir + "/packed");
    }

    void compare(const Bytes& file, const std::string& what)
    {
        write_file(dir + "/in", file);
        Outcome fast = run({fast_binary, dir + "/in", dir + "/fast"}, 20);
        Outcome exact = run({exact_binary, dir + "/in", dir + "/exact"}, 20);
        ASSERT_EQ(fast.signal, 0) << what;
        ASSERT_EQ(fast.status, exact.status)
            << what << "\nfast: " << fast.err << "exact: " << exact.err;
        ASSERT_EQ(fast.err, exact.err) << what;
        ASSERT_EQ(fast.out, exact.out) << what;
        ASSERT_TRUE(read_file(dir + "/fast") == read_file(dir + "/exact")) << what;
        compared++;
    }

    // The file whole, cut at many lengths (every length near the end, where
    // the fast decoder hands over to the exact path), and with bits flipped.
    void sweep(const Bytes& file, const std::string& name, unsigned seed)
    {
        std::mt19937 rng(seed);
        compare(file, name);
        std::size_t tail = std::min<std::size_t>(file.size(), 80 / scale);
        for (std::size_t cut = 1; cut <= tail; cut++)
            compare(Bytes(file.begin(), file.end() - static_cast<long>(cut)),
                    name + " less " + std::to_string(cut));
        for (unsigned i = 0; i < 120 / scale; i++) {
            std::size_t length = rng() % file.size();
            compare(Bytes(file.begin(), file.begin() + static_cast<long>(length)),
                    name + " cut to " + std::to_string(length));
        }
        for (unsigned i = 0; i < 200 / scale; i++) {
            Bytes damaged = file;
            std::size_t bit = rng() % (8 * file.size());
            damaged[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            compare(damaged, name + " bit " + std::to_string(bit));
        }
    }

    std::string dir;
    unsigned compared = 0;
};

TEST_F(Differential, SmallPackedFiles)
{
    for (unsigned kind = 0; kind < 4; kind++)
        for (unsigned seed = 1; seed <= 2; seed++) {
            std::string name = "kind " + std::to_string(kind) + " seed " + std::to_string(seed);
            sweep(pack(plain_input(kind, 500 + 1500 * seed, seed)), name, seed);
            if (HasFatalFailure())
                return;
        }
    EXPECT_GE(compared, 3000u / scale);
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
    // Large noise is stored as its own bytes, which the fast decoder copies.
    for (unsigned kind : {0u, 2u, 3u}) {
        sweep(pack(plain_input(kind, 400000, 9)), "large kind " + std::to_string(kind), 9);
        if (HasFatalFailure())
            return;
    }
}

}  // namespace
