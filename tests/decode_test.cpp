// The decoder run as a user runs it: real files, the real binary, its exit
// status, its exact words on standard error and the bytes it leaves behind.
#include "decode_cases.h"
#include "run.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

using namespace decode_cases;
using lzh8::match;

namespace {

const std::string ostrel_binary = OSTREL_BINARY;

class Decode : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        in = dir + "/in.lzh8";
        out = dir + "/out.bin";
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }

    Outcome decode(const Bytes& input)
    {
        write_file(in, input);
        return run({ostrel_binary, in, out});
    }

    // A refusal: status 1, exactly the one expected line, nothing on
    // standard output, and an output file that exists and is empty.
    void expect_refusal(const Outcome& outcome, const std::string& pattern)
    {
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(outcome.err, std::regex(pattern)))
            << "stderr: " << outcome.err << "expected: " << pattern;
        EXPECT_EQ(outcome.out, "");
        ASSERT_TRUE(file_exists(out));
        EXPECT_EQ(read_file(out).size(), 0u);
    }

    std::string dir, in, out;
};

// A file that decodes to size bytes of 'a': one literal, then matches of
// 258 at distance 1 (a few bytes of input for each KiB made).
Bytes run_of_a(std::uint32_t size)
{
    std::string runs = literals("a");
    for (std::uint32_t made = 1; made < size; made += 258)
        runs += match(lengths_code, offsets_code, 258, 0);
    return lzh8::build(coded_file(size, runs));
}

TEST_F(Decode, DecodesEveryCaseExactly)
{
    for (const Success& c : success_cases()) {
        SCOPED_TRACE(c.name);
        Outcome outcome = decode(c.input);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(read_file(out), c.expected);
    }
}

TEST_F(Decode, RefusesEveryCaseWithItsReport)
{
    for (const Refusal& c : refusal_cases()) {
        SCOPED_TRACE(c.name);
        expect_refusal(decode(c.input), c.pattern);
    }
}

// A file in which every byte is needed: each shorter prefix must fail with
// the report of the reader that meets its end, and nothing else.
TEST_F(Decode, EveryTruncationReportsTheReaderThatMetTheEnd)
{
    for (bool long_header : {false, true}) {
        lzh8::File file = coded_file(9, literals("abc") + match(lengths_code, offsets_code, 5, 2) +
                                            literals("d"));
        file.long_header = long_header;
        Bytes whole = lzh8::build(file);
        std::size_t header = long_header ? 8 : 4;
        std::filesystem::remove(out);  // a new output, left empty by each failure
        for (std::size_t length = 0; length < whole.size(); length++) {
            SCOPED_TRACE("long header " + std::to_string(long_header) + ", length " +
                         std::to_string(length));
            std::string reader = length < header       ? "get_32_le"
                                 : length < header + 2 ? "get_16_le"
                                                       : "get_byte";
            expect_refusal(decode(Bytes(whole.begin(), whole.begin() + static_cast<long>(length))),
                           "util\\.cpp:[0-9]+:" + reader + ":fread: unexpected EOF\\n");
        }
        Outcome outcome = decode(whole);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(read_file(out), text_bytes("abcabcabd"));
    }
}

TEST_F(Decode, WrongArgumentCountPrintsBannerAndUsage)
{
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {in}, {in, out, "extra"}, {in, out, "extra", "more"}};
    for (const auto& arguments : argument_lists) {
        SCOPED_TRACE(arguments.size());
        std::vector<std::string> argv = {ostrel_binary};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        Outcome outcome = run(argv);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(
            outcome.out, std::regex("ostrel 0\\.8 [A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}\n\n"
                                    "Usage: " +
                                    ostrel_binary + " infile outfile\n")))
            << outcome.out;
        EXPECT_EQ(outcome.err, "");
        EXPECT_FALSE(file_exists(out));
    }
}

TEST_F(Decode, MissingInputIsReportedAndCreatesNoOutput)
{
    Outcome outcome = run({ostrel_binary, dir + "/missing", out});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(std::regex_match(
        outcome.err, std::regex(R"(ostrel\.cpp:[0-9]+:main:fopen: No such file or directory\n)")))
        << outcome.err;
    EXPECT_FALSE(file_exists(out));
}

TEST_F(Decode, UncreatableOutputIsReported)
{
    write_file(in, example_26);
    Outcome outcome = run({ostrel_binary, in, dir + "/no/such/dir/out"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(std::regex_match(
        outcome.err, std::regex(R"(ostrel\.cpp:[0-9]+:main:fopen: No such file or directory\n)")))
        << outcome.err;
}

// An image the allocator cannot give is refused with the "malloc" report.
// (Sanitizer runtimes reserve too much address space for the limit.)
TEST_F(Decode, UnobtainableImageIsReported)
{
#ifdef OSTREL_SANITIZED
    GTEST_SKIP() << "address space limits do not apply under the sanitizers";
#endif
    lzh8::File file = coded_file(0xFFFFFFFF, literals("abcd"));
    file.long_header = true;
    write_file(in, lzh8::build(file));
    Outcome outcome = run({ostrel_binary, in, out}, 60, std::uint64_t{512} << 20);
    expect_refusal(outcome, R"(ostrel\.cpp:[0-9]+:analyze_LZH8:malloc: Cannot allocate memory\n)");
}

// A full device takes the output: a small image fits the stream's buffer
// and fails when main closes it; a large one fails in put_bytes itself.
TEST_F(Decode, OutputThatCannotBeWrittenIsReported)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    write_file(in, example_26);
    Outcome small = run({ostrel_binary, in, "/dev/full"});
    EXPECT_EQ(small.status, 1);
    EXPECT_TRUE(std::regex_match(
        small.err, std::regex(R"(ostrel\.cpp:[0-9]+:main:fclose: No space left on device\n)")))
        << small.err;
    write_file(in, run_of_a(100000));
    Outcome large = run({ostrel_binary, in, "/dev/full"});
    EXPECT_EQ(large.status, 1);
    EXPECT_TRUE(std::regex_match(
        large.err,
        std::regex(R"(util\.cpp:[0-9]+:put_bytes:fwrite: fwrite: No space left on device\n)")))
        << large.err;
}

// Memory is the image and little more, whether the image takes huge pages,
// and how much of its last one (3.8 MiB takes two and leaves 200 KiB
// unused, 3.5 MiB and 2.6 MiB take one and 4 KiB pages after it), or none
// (1.2 MiB).
TEST_F(Decode, PeakMemoryIsTheImageAndAtMostOneMiBMore)
{
#ifdef OSTREL_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory is counted too";
#endif
    auto peak_kib = [&](std::uint32_t size) {
        write_file(in, run_of_a(size));
        Outcome outcome = run({ostrel_binary, in, out});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(read_file(out), Bytes(size, 'a'));
        return outcome.peak_kib;
    };
    long base = run({ostrel_binary}).peak_kib;  // the usage: no image at all
    for (std::uint32_t size : {1200u << 10, 2600u << 10, 3584u << 10, 3900u << 10}) {
        SCOPED_TRACE(size);
        EXPECT_LE(peak_kib(size) - base, static_cast<long>(size >> 10) + 1024);
    }
}

// Positions past 2 GiB: a valid file followed by 3 GiB of trailing data (a
// sparse file, so nothing is written to disk).
TEST_F(Decode, InputLargerThan2GiB)
{
    write_file(in, example_26);
    ASSERT_EQ(truncate(in.c_str(), off_t{3} << 30), 0);
    Outcome outcome = run({ostrel_binary, in, out});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(read_file(out), text_bytes("abcabcab"));
}

// Data after the stream is read no further than decoding's lanes look
// ahead, however much of it there is: an 8 MiB image from a small file
// followed by 16 GiB of zeros takes the image's memory and the lanes'
// (4 MiB a core), mapped or (where the address space is too small to map
// as much as decoding could need) read.
TEST_F(Decode, TrailingDataIsNeverRead)
{
    const std::uint32_t size = 8 << 20;
    write_file(in, run_of_a(size));
    ASSERT_EQ(truncate(in.c_str(), off_t{16} << 30), 0);
    [[maybe_unused]] long base = run({ostrel_binary}).peak_kib;
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{512} << 20}) {
#ifdef OSTREL_SANITIZED
        if (limit != 0)
            continue;  // address space limits do not apply under the sanitizers
#endif
        SCOPED_TRACE(limit);
        Outcome outcome = run({ostrel_binary, in, out}, 60, limit);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(read_file(out), Bytes(size, 'a'));
#ifndef OSTREL_SANITIZED
        cpu_set_t cores;
        ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
        EXPECT_LE(outcome.peak_kib - base,
                  static_cast<long>(size >> 10) + 2048 + 4096L * CPU_COUNT(&cores));
#endif
    }
}

// A device or a file of /proc, which cannot be sized or mapped, is read
// as a stream: its first byte decides, as a file's does.
TEST_F(Decode, DevicesAndProcFilesAreReadAsStreams)
{
    for (const char* device : {"/dev/zero", "/dev/null", "/proc/self/status"}) {
        SCOPED_TRACE(device);
        Outcome outcome = run({ostrel_binary, device, out});
        EXPECT_EQ(outcome.status, 1);
        const std::string expected = std::string(device) == "/dev/null"
                                         ? R"(util\.cpp:[0-9]+:get_32_le:fread: unexpected EOF\n)"
                                         : R"(ostrel\.cpp:[0-9]+:analyze_LZH8: not LZH8\n)";
        EXPECT_TRUE(std::regex_match(outcome.err, std::regex(expected))) << outcome.err;
    }
}

// The example the README decodes.
TEST_F(Decode, ShippedExampleDecodesToItsOriginal)
{
    const std::string examples = EXAMPLES_DIR;
    Outcome outcome = run({ostrel_binary, examples + "/stock.lzh8", out});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(read_file(out), read_file(examples + "/stock.txt"));
}

TEST_F(Decode, ExistingOutputIsReplaced)
{
    write_file(out, Bytes(100, 0xEE));
    Outcome outcome = decode(example_26);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(read_file(out), text_bytes("abcabcab"));
}

// A failing run leaves an existing output as it was: every refusal, and
// the two names swapped (a plain file given as the input).
TEST_F(Decode, ExistingOutputSurvivesEveryRefusal)
{
    const Bytes precious = text_bytes("an earlier result, not to be lost");
    std::vector<Refusal> cases = refusal_cases();
    cases.push_back({"swapped names", text_bytes("plain text\n"),
                     R"(ostrel\.cpp:[0-9]+:analyze_LZH8: not LZH8\n)"});
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(out, precious);
        Outcome outcome = decode(c.input);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(outcome.err, std::regex(c.pattern))) << outcome.err;
        EXPECT_EQ(read_file(out), precious);
    }
}

// Every spelling of the input as the output is refused before the output
// is opened, so the input survives intact.
TEST_F(Decode, RefusesToWriteOverItsInput)
{
    write_file(in, example_26);
    std::filesystem::create_directory(dir + "/sub");
    std::filesystem::create_symlink(in, dir + "/link");
    std::filesystem::create_hard_link(in, dir + "/hard");
    const std::vector<std::string> spellings = {in, dir + "/sub/../in.lzh8", dir + "/./in.lzh8",
                                                dir + "/link", dir + "/hard"};
    for (const std::string& spelling : spellings) {
        SCOPED_TRACE(spelling);
        Outcome outcome = run({ostrel_binary, in, spelling});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(
            outcome.err,
            std::regex(R"(ostrel\.cpp:[0-9]+:main: input and output are the same file\n)")))
            << outcome.err;
        EXPECT_EQ(read_file(in), example_26);
    }
}

}  // namespace
