// The library's contract, in process: what each call writes and returns,
// the words of its results, and calls from many threads at once.
#include "decode_cases.h"
#include "reference_decoder.h"

#include <gtest/gtest.h>

#include <ostrel/lzh8.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace decode_cases;

// Words over a small vocabulary with a stretch of noise and a long run:
// literals, short and long matches, and what does not compress.
Bytes mixed(std::size_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < count) {
        for (auto n = 2 + rng() % 6; n > 0; n--)
            bytes.push_back(static_cast<std::uint8_t>('a' + rng() % 12));
        bytes.push_back(' ');
        if (rng() % 300 == 0)
            for (int n = 0; n < 500; n++)
                bytes.push_back(static_cast<std::uint8_t>(rng()));
        if (rng() % 1000 == 0)
            bytes.insert(bytes.end(), 2000, 'x');
    }
    bytes.resize(count);
    return bytes;
}

Bytes pack(const Bytes& plain, int level, unsigned threads)
{
    Bytes packed(lzh8_pack_bound(plain.size()));
    std::size_t size = 0;
    EXPECT_EQ(
        lzh8_pack(plain.data(), plain.size(), packed.data(), packed.size(), &size, level, threads),
        LZH8_OK);
    packed.resize(size);
    return packed;
}

Bytes decode(const Bytes& packed)
{
    std::size_t size = 0;
    EXPECT_EQ(lzh8_decoded_size(packed.data(), packed.size(), &size), LZH8_OK);
    Bytes plain(size);
    EXPECT_EQ(lzh8_decode(packed.data(), packed.size(), plain.data(), plain.size(), &size),
              LZH8_OK);
    EXPECT_EQ(size, plain.size());
    return plain;
}

// Every hand-built file decodes to its bytes, and every damaged one is
// refused with the result whose words the program's report carries.
TEST(Library, DecodesAndRefusesEveryCase)
{
    for (const Success& c : success_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(decode(c.input) == c.expected);
    }
    for (const Refusal& c : refusal_cases()) {
        SCOPED_TRACE(c.name);
        std::size_t declared = 0;
        lzh8_decoded_size(c.input.data(), c.input.size(), &declared);
        Bytes out(declared);
        std::size_t size = 1;
        lzh8_result result =
            lzh8_decode(c.input.data(), c.input.size(), out.data(), out.size(), &size);
        EXPECT_NE(result, LZH8_OK);
        EXPECT_EQ(size, 0u);
        EXPECT_NE(std::string(c.pattern).find(lzh8_result_text(result)), std::string::npos)
            << c.pattern << " against " << lzh8_result_text(result);
        EXPECT_EQ(difference_from_reference(c.input.data(), c.input.size()), "");
    }
}

// Nothing is written past what a call may write; a buffer too small is
// refused with the size that would do; arguments out of bounds are
// refused before anything is read.
TEST(Library, WritesNoFurtherThanItMay)
{
    const Bytes plain = mixed(100000, 1);
    const Bytes packed = pack(plain, 6, 1);
    const std::uint8_t guard = 0xA5;
    Bytes out(plain.size() + 64, guard);
    std::size_t size = 0;
    EXPECT_EQ(lzh8_decode(packed.data(), packed.size(), out.data(), plain.size() - 1, &size),
              LZH8_OUTPUT_TOO_SMALL);
    EXPECT_EQ(size, plain.size());
    EXPECT_EQ(std::count(out.begin(), out.end(), guard), static_cast<long>(out.size()));
    EXPECT_EQ(lzh8_decode(packed.data(), packed.size(), out.data(), out.size(), &size), LZH8_OK);
    EXPECT_TRUE(Bytes(out.begin(), out.begin() + static_cast<long>(plain.size())) == plain);
    EXPECT_EQ(std::count(out.begin() + static_cast<long>(plain.size()), out.end(), guard), 64);

    // Packing into exactly the room the file takes, and one byte less.
    Bytes room(packed.size() + 64, guard);
    EXPECT_EQ(lzh8_pack(plain.data(), plain.size(), room.data(), packed.size() - 1, &size, 6, 1),
              LZH8_OUTPUT_TOO_SMALL);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(std::count(room.begin() + static_cast<long>(packed.size()) - 1, room.end(), guard),
              65);
    EXPECT_EQ(lzh8_pack(plain.data(), plain.size(), room.data(), packed.size(), &size, 6, 1),
              LZH8_OK);
    EXPECT_TRUE(Bytes(room.begin(), room.begin() + static_cast<long>(size)) == packed);

    // Noise is stored, within the bound, at every level.
    std::mt19937 rng(2);
    Bytes noise(70000);
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(rng());
    for (int level = 0; level <= 9; level++) {
        Bytes stored = pack(noise, level, 0);
        EXPECT_LE(stored.size(), lzh8_pack_bound(noise.size()));
        EXPECT_TRUE(decode(stored) == noise);
    }
    EXPECT_TRUE(decode(pack({}, 6, 0)).empty());

    const std::uint8_t one = 0;
    EXPECT_EQ(lzh8_pack(&one, std::size_t{1} << 32, room.data(), room.size(), &size, 6, 1),
              LZH8_INPUT_TOO_LARGE);
    for (int level : {-1, 10})
        EXPECT_EQ(lzh8_pack(&one, 1, room.data(), room.size(), &size, level, 1), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_pack(nullptr, 1, room.data(), room.size(), &size, 6, 1), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_pack(&one, 1, nullptr, 10, &size, 6, 1), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_pack(&one, 1, room.data(), room.size(), nullptr, 6, 1), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_decode(nullptr, 4, out.data(), out.size(), &size), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_decode(packed.data(), packed.size(), nullptr, 4, &size), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_decoded_size(packed.data(), packed.size(), nullptr), LZH8_BAD_ARGUMENT);
    EXPECT_EQ(lzh8_decoded_size(packed.data(), 3, &size), LZH8_TRUNCATED);
    EXPECT_EQ(lzh8_decoded_size(packed.data() + 1, 4, &size), LZH8_NOT_LZH8);
}

// Packing through a write function gives the same bytes, in pieces on
// the calling thread; a refused piece ends the call, and no other piece
// is offered after it. Progress, where asked, rises on the calling thread
// to the input's size, told before the first piece is written.
TEST(Library, PacksThroughAWriteFunction)
{
    const Bytes plain = mixed(3 << 20, 7);
    struct Collected {
        Bytes bytes;
        std::size_t pieces, refuse_at;
        std::thread::id caller;
        bool elsewhere;
        std::vector<std::size_t> told;
        std::size_t pieces_when_whole;
    };
    auto collect = [](void* context, const void* bytes, std::size_t size) {
        auto* collected = static_cast<Collected*>(context);
        collected->elsewhere |= std::this_thread::get_id() != collected->caller;
        if (collected->pieces++ == collected->refuse_at)
            return 1;
        auto* first = static_cast<const std::uint8_t*>(bytes);
        collected->bytes.insert(collected->bytes.end(), first, first + size);
        return 0;
    };
    auto progress = [](void* context, std::size_t done, std::size_t total) {
        auto* collected = static_cast<Collected*>(context);
        collected->elsewhere |= std::this_thread::get_id() != collected->caller || total != 3 << 20;
        if (done == total && collected->pieces_when_whole == SIZE_MAX)
            collected->pieces_when_whole = collected->pieces;
        collected->told.push_back(done);
    };
    for (int level : {1, 9}) {
        Collected whole = {{}, 0, SIZE_MAX, std::this_thread::get_id(), false, {}, SIZE_MAX};
        EXPECT_EQ(lzh8_pack_to_with_progress(plain.data(), plain.size(), collect, &whole, progress,
                                             &whole, level, 0),
                  LZH8_OK);
        EXPECT_TRUE(whole.bytes == pack(plain, level, 1));
        EXPECT_GT(whole.pieces, 1u);
        EXPECT_FALSE(whole.elsewhere);
        EXPECT_TRUE(std::is_sorted(whole.told.begin(), whole.told.end()));
        EXPECT_GT(whole.told.size(), 1u);
        EXPECT_EQ(whole.pieces_when_whole, 0u);
        Collected refused = {{}, 0, 1, std::this_thread::get_id(), false, {}, SIZE_MAX};
        EXPECT_EQ(lzh8_pack_to(plain.data(), plain.size(), collect, &refused, level, 0),
                  LZH8_WRITE_FAILED);
        EXPECT_EQ(refused.pieces, 2u);
    }
    EXPECT_EQ(lzh8_pack_to(plain.data(), plain.size(), nullptr, nullptr, 6, 0), LZH8_BAD_ARGUMENT);
}

TEST(Library, NamesItselfAndItsResults)
{
    EXPECT_STREQ(lzh8_version(), OSTREL_TEST_VERSION);
    std::vector<std::string> texts;
    for (int result = LZH8_OK; result <= LZH8_WRITE_FAILED; result++) {
        const char* text = lzh8_result_text(static_cast<lzh8_result>(result));
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << text;
        texts.push_back(text);
    }
    EXPECT_STREQ(lzh8_result_text(LZH8_CORRUPT_LENGTH_TREE), "corrupt length tree");
    EXPECT_STREQ(lzh8_result_text(static_cast<lzh8_result>(15)), "unknown result");
}

// Eight threads pack and decode at once, each packing on threads of its
// own too: every file is the one a single thread makes, and comes back.
TEST(Library, ManyCallsAtOnce)
{
    std::vector<Bytes> inputs = {mixed(3 << 20, 3), mixed(300000, 4), mixed(5000, 5)};
    const std::vector<int> levels = {1, 6, 9};
    std::vector<Bytes> expected;
    for (const Bytes& input : inputs)
        for (int level : levels)
            expected.push_back(pack(input, level, 1));
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < expected.size(); i++) {
                std::size_t input = (i + t) % expected.size();
                Bytes packed =
                    pack(inputs[input / levels.size()], levels[input % levels.size()], 2);
                wrong[t] +=
                    packed != expected[input] || decode(packed) != inputs[input / levels.size()];
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

// Decoded in lanes on several threads, a file of many lanes gives what
// decoding it whole gives: its bytes, and where it is cut short or
// damaged in its middle, the same result and details (so the same
// failure met first from the file's start) or the same other bytes.
TEST(Library, DecodesInLanesAsInOne)
{
    const Bytes plain = mixed(5 << 20, 6);
    for (int level : {1, 9}) {
        const Bytes packed = pack(plain, level, 0);
        const Bytes cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
        Bytes flipped = packed;
        for (std::size_t at = packed.size() / 3; at < packed.size(); at += packed.size() / 7)
            flipped[at] ^= 0x5A;
        for (const Bytes* file : std::vector<const Bytes*>{&packed, &cut, &flipped})
            for (unsigned threads : {0u, 2u, 8u}) {
                SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(threads) +
                             " threads, " + std::to_string(file->size()) + " bytes");
                Bytes whole(plain.size()), in_lanes(plain.size());
                std::size_t whole_size = 1, lanes_size = 2;
                lzh8_details whole_details = {1, 1}, lanes_details = {2, 2};
                lzh8_result expected =
                    lzh8_decode_detailed(file->data(), file->size(), whole.data(), whole.size(),
                                         &whole_size, &whole_details);
                EXPECT_EQ(lzh8_decode_parallel(file->data(), file->size(), in_lanes.data(),
                                               in_lanes.size(), &lanes_size, &lanes_details,
                                               threads),
                          expected);
                EXPECT_EQ(lanes_size, whole_size);
                EXPECT_EQ(lanes_details.short_read_offset, whole_details.short_read_offset);
                EXPECT_EQ(lanes_details.short_read_width, whole_details.short_read_width);
                EXPECT_TRUE(expected != LZH8_OK || in_lanes == whole);
                EXPECT_TRUE(file != &packed || in_lanes == plain);
            }
    }
}

// Damaged files are refused without a word on standard error and without
// ending the process: the test runs on to check.
TEST(Library, SaysNothingOnDamagedFiles)
{
    std::FILE* captured = std::tmpfile();
    std::fflush(stderr);
    int saved = dup(2);
    dup2(fileno(captured), 2);
    std::size_t refused = 0;
    Bytes packed = pack(mixed(20000, 6), 9, 1);
    std::vector<Bytes> files;
    for (const Refusal& c : refusal_cases())
        files.push_back(c.input);
    for (std::size_t length = 0; length < packed.size(); length += 7)
        files.emplace_back(packed.begin(), packed.begin() + static_cast<long>(length));
    for (std::size_t bit = 0; bit < 8 * packed.size(); bit += 13) {
        files.push_back(packed);
        files.back()[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    for (const Bytes& file : files) {
        Bytes out(1 << 20);
        std::size_t size = 0;
        refused += lzh8_decode(file.data(), file.size(), out.data(), out.size(), &size) != LZH8_OK;
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(std::ftell(captured), 0);
    std::fclose(captured);
    EXPECT_GE(refused, refusal_cases().size());
}

}  // namespace
