// lzh8pack and ostrel together: whatever goes in must come back out byte
// for byte, and the packer must fail the way ostrel does.
#include "run.h"

#include <gtest/gtest.h>

#include <ostrel/lzh8.h>

#include <pty.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
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

// 65536 random bytes, then the same bytes again copies times: every match
// is exactly 65536 back.
Bytes repeated_window(unsigned seed, unsigned copies = 1)
{
    Bytes bytes = random_bytes(65536, seed);
    Bytes again(bytes.begin(), bytes.begin() + 65536);
    for (; copies > 0; copies--)
        bytes.insert(bytes.end(), again.begin(), again.end());
    return bytes;
}

class Pack : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }

    // Packs and unpacks; returns the packed size.
    std::size_t round_trip(const Bytes& input, int level = 6)
    {
        write_file(dir + "/in", input);
        Outcome packed =
            run({pack_binary, "-" + std::to_string(level), dir + "/in", dir + "/packed"}, 600);
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
    double most;  // the packed size may be at most this share of the input, plus 2 KiB, from -6 on
    double most_fast = 0;  // if set, the bound below -6
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
        cases.push_back({"distance_65536_" + s, repeated_window(seed), 0.52, 0.65});
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
    // Over 1 MiB, parsed in several segments: each must find the matches
    // that reach back into the one before, or it would add 64 KiB of
    // literals, past the bound.
    cases.push_back({"window_repeated_across_pieces", repeated_window(4, 17), 0.08, 0.08});
    return cases;
}

TEST_F(Pack, EveryInputComesBackExactly)
{
    for (const Input& input : inputs())
        for (int level = 1; level <= 9; level++) {
            SCOPED_TRACE(input.name + " at -" + std::to_string(level));
            std::size_t packed = round_trip(input.bytes, level);
            // Below -6, only copies from exactly 64 KiB back are bounded: the
            // fastest level keeps just two positions per hash, so it misses
            // some of them.
            double most = level >= 6 ? input.most : input.most_fast;
            if (most > 0) {
                EXPECT_LE(static_cast<double>(packed),
                          static_cast<double>(input.bytes.size()) * most + 2048);
            }
        }
}

// Input that does not compress is stored: its bit stream, which ends the
// file, is the input byte for byte, and the file is no larger than the
// input plus the two tables.
// Input that does not compress is stored, whole files and small pieces
// alike (where the tables weigh most), as long as that costs under 1% more
// than coding it: the decoder then copies it.
TEST_F(Pack, IncompressibleInputIsStoredAsItIs)
{
    for (std::size_t size : {std::size_t{70000}, std::size_t{4096}}) {
        const Bytes noise = random_bytes(size, 5);
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(std::to_string(size) + " bytes at -" + std::to_string(level));
            std::size_t packed = round_trip(noise, level);
            ASSERT_GT(packed, noise.size());
            EXPECT_LE(packed, noise.size() + 1024);
            Bytes file = read_file(dir + "/packed");
            EXPECT_TRUE(Bytes(file.end() - static_cast<long>(noise.size()), file.end()) == noise);
        }
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

// The program writes, at every level, the very bytes that the library
// packs, on one thread or on all.
TEST_F(Pack, WritesWhatTheLibraryPacks)
{
    Bytes input = text(1500000, 8);
    Bytes noise = random_bytes(100000, 8);
    input.insert(input.end(), noise.begin(), noise.end());
    write_file(dir + "/in", input);
    for (int level = 1; level <= 9; level++) {
        SCOPED_TRACE(level);
        Bytes packed(lzh8_pack_bound(input.size()));
        std::size_t size = 0;
        ASSERT_EQ(
            lzh8_pack(input.data(), input.size(), packed.data(), packed.size(), &size, level, 1),
            LZH8_OK);
        packed.resize(size);
        Outcome outcome =
            run({pack_binary, "-" + std::to_string(level), dir + "/in", dir + "/packed"}, 600);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(read_file(dir + "/packed") == packed);
    }
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

// Everything in the test's directory but the input and output.
std::vector<std::string> strays(const std::string& dir)
{
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        if (name != "in" && name != "out" && name != "-9")
            left.push_back(name);
    }
    return left;
}

TEST_F(Pack, CommandLine)
{
    write_file(dir + "/in", text(5000, 1));
    // The usage line as a pattern: its brackets and dots stand for themselves.
    const std::string usage =
        std::regex_replace("Usage: " + pack_binary + " [-1 ... -9] [--] infile outfile\n",
                           std::regex(R"([.\[\]])"), R"(\$&)");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out_pattern, err_pattern;
    };
    const std::vector<Case> cases = {
        {{"only-one"}, 1, "", usage},
        {{"a", "b", "c"}, 1, "", usage},
        {{"-9"}, 1, "", usage},
        {{"-h"}, 0, usage + "Packs infile[^]*", ""},
        {{"--help", "x"}, 0, usage + "Packs infile[^]*", ""},
        {{"-V"}, 0, "lzh8pack [0-9.]+\n", ""},
        {{"--version"}, 0, "lzh8pack [0-9.]+\n", ""},
        {{"-0", "in", "out"},
         1,
         "",
         R"(tools/lzh8pack/main\.cpp:[0-9]+:main: unknown option -0\n)"},
        {{"--fast", "in", "out"},
         1,
         "",
         R"(tools/lzh8pack/main\.cpp:[0-9]+:main: unknown option --fast\n)"},
        // A report is one line, whatever an option holds.
        {{"-x\nforged: second line\x1b[2J\\", "in", "out"},
         1,
         "",
         R"(tools/lzh8pack/main\.cpp:[0-9]+:main: unknown option -x\\nforged: second line\\x1b\[2J\\\\\n)"},
        {{"missing", "out"},
         1,
         "",
         R"(tools/lzh8pack/input\.cpp:[0-9]+:open_input:fopen: No such file or directory\n)"},
        {{"in", "no/dir/out"},
         1,
         "",
         R"(tools/lzh8pack/write\.cpp:[0-9]+:create_temporary:mkstemp: No such file or directory\n)"},
        {{".", "out"},
         1,
         "",
         R"(tools/lzh8pack/input\.cpp:[0-9]+:read_input:fread: fread: Is a directory\n)"},
        {{"in", ""},
         1,
         "",
         R"(tools/lzh8pack/write\.cpp:[0-9]+:open_output:open: No such file or directory\n)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> argv = {pack_binary};
        for (const std::string& arg : c.args)
            argv.push_back(arg == "in" || arg == "out" || arg == "missing" || arg == "." ||
                                   arg == "no/dir/out"
                               ? dir + "/" + arg
                               : arg);
        Outcome outcome = run(argv);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_TRUE(std::regex_match(outcome.out, std::regex(c.out_pattern))) << outcome.out;
        EXPECT_TRUE(std::regex_match(outcome.err, std::regex(c.err_pattern))) << outcome.err;
        EXPECT_FALSE(file_exists(dir + "/out"));
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
    // "--" ends the options: a file named -9 is a file.
    write_file(dir + "/-9", {1, 2, 3});
    EXPECT_EQ(run({pack_binary, "--", dir + "/-9", dir + "/out"}).status, 0);
    // What -h and -V print must be written for them to succeed.
    for (const std::string option : {"-h", "-V"}) {
        Outcome full = run({"/bin/sh", "-c", pack_binary + " " + option + " > /dev/full"});
        EXPECT_EQ(full.status, 1);
        EXPECT_TRUE(std::regex_match(
            full.err,
            std::regex(
                R"(tools/lzh8pack/main\.cpp:[0-9]+:end_after_printing:fclose: No space left on device\n)")))
            << full.err;
    }
}

// Segments of the input are parsed, and pieces of the bit stream written,
// on as many cores as the packer may use; the file must be the same on
// every run, whatever the count of cores and however the threads happen
// to run. Over 2 MiB of text, noise and runs, so that there are several
// segments, none of them a whole number of the best levels' blocks, and
// enough matches for more than one piece.
TEST_F(Pack, SameFileOnEveryRunAndAnyCoreCount)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2)
        GTEST_SKIP() << "one core only: nothing to compare";
    std::size_t first_core = 0;
    while (!CPU_ISSET(first_core, &allowed))
        first_core++;
    Bytes input = text(1800000, 6);
    Bytes noise = random_bytes(200000, 6), long_runs = runs(200000, 1000, 6);
    input.insert(input.end(), noise.begin(), noise.end());
    input.insert(input.end(), long_runs.begin(), long_runs.end());
    write_file(dir + "/in", input);
    // Levels 7 to 9 run several times, so that threads that met in
    // another order would show; under the sanitizers, whose packs are many
    // times slower, twice.
#ifdef OSTREL_SANITIZED
    const int best_level_runs = 2;
#else
    const int best_level_runs = 6;
#endif
    for (int level : {1, 6, 7, 8, 9}) {
        SCOPED_TRACE(level);
        std::string option = "-" + std::to_string(level);
        Outcome one = run({"/usr/bin/taskset", "-c", std::to_string(first_core), pack_binary,
                           option, dir + "/in", dir + "/one"},
                          600);
        ASSERT_EQ(one.status, 0) << one.err;
        const Bytes expected = read_file(dir + "/one");
        for (int again = 0; again < (level >= 7 ? best_level_runs : 1); again++) {
            Outcome all = run({pack_binary, option, dir + "/in", dir + "/all"}, 600);
            ASSERT_EQ(all.status, 0) << all.err;
            EXPECT_TRUE(read_file(dir + "/all") == expected) << "run " << again;
        }
        Outcome unpacked = run({ostrel_binary, dir + "/all", dir + "/out"}, 600);
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_TRUE(read_file(dir + "/out") == input);
    }
}

// Every level packs within 4 times the input plus 16 MiB of address
// space, threads' stacks and reserved room included, which bounds the
// memory it can touch.
#ifndef OSTREL_SANITIZED
TEST_F(Pack, EveryLevelFitsInFourTimesTheInputAnd16MiB)
{
    Bytes input = text(20 << 20, 7);
    Bytes noise = random_bytes(4 << 20, 7);
    input.insert(input.end(), noise.begin(), noise.end());
    write_file(dir + "/in", input);
    const std::uint64_t limit = 4 * std::uint64_t{input.size()} + (std::uint64_t{16} << 20);
    for (int level : {1, 6, 9}) {
        SCOPED_TRACE(level);
        Outcome packed = run(
            {pack_binary, "-" + std::to_string(level), dir + "/in", dir + "/packed"}, 600, limit);
        ASSERT_EQ(packed.status, 0) << packed.err;
        Outcome unpacked = run({ostrel_binary, dir + "/packed", dir + "/out"}, 600);
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_TRUE(read_file(dir + "/out") == input);
    }
}
#endif

// Standard input is packed from where it stands: a file redirected whole
// (which is mapped), a pipe, and a file of which 1000 bytes were taken.
TEST_F(Pack, EveryLevelThroughStreams)
{
    Bytes input = text(200000, 5);
    write_file(dir + "/in", input);
    const Bytes rest(input.begin() + 1000, input.end());
    struct Way {
        std::string before, pack_and_after;
        const Bytes& expected;
    };
    const std::string pack = pack_binary + " -L - - ";
    const std::vector<Way> ways = {
        {"", pack + "< " + dir + "/in", input},
        {"cat " + dir + "/in | ", pack, input},
        {"{ dd bs=1000 count=1 of=/dev/null 2>/dev/null; ", pack + "; } < " + dir + "/in", rest},
    };
    for (const Way& way : ways)
        for (int level = 1; level <= 9; level++) {
            SCOPED_TRACE(way.before + way.pack_and_after + " at -" + std::to_string(level));
            std::string command = way.before +
                                  std::regex_replace(way.pack_and_after, std::regex(" -L "),
                                                     " -" + std::to_string(level) + " ") +
                                  " > " + dir + "/packed && " + ostrel_binary + " " + dir +
                                  "/packed " + dir + "/out";
            Outcome outcome = run({"/bin/sh", "-c", command});
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_TRUE(read_file(dir + "/out") == way.expected);
        }
}

TEST_F(Pack, RefusesToWriteOverItsInput)
{
    const Bytes input = text(3000, 2);
    write_file(dir + "/in", input);
    std::filesystem::create_symlink(dir + "/in", dir + "/link");
    std::filesystem::create_hard_link(dir + "/in", dir + "/hard");
    for (const std::string& spelling : {dir + "/in", dir + "/./in", dir + "/link", dir + "/hard"}) {
        SCOPED_TRACE(spelling);
        Outcome outcome = run({pack_binary, dir + "/in", spelling});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(
            outcome.err,
            std::regex(
                R"(tools/lzh8pack/write\.cpp:[0-9]+:open_output: input and output are the same file\n)")))
            << outcome.err;
        EXPECT_EQ(read_file(dir + "/in"), input);
    }
}

// Standard input from a terminal ends at the first end of file (Ctrl-D),
// as for cat and gzip.
TEST_F(Pack, OneEndOfFileFromATerminalEndsTheInput)
{
    int terminal = -1, input = -1;
    ASSERT_EQ(openpty(&terminal, &input, nullptr, nullptr, nullptr), 0);
    RunOptions options;
    options.input = input;
    options.timeout_seconds = 20;
    Outcome outcome = run_meanwhile({pack_binary, "-", dir + "/out"}, options, [&](int) {
        close(input);
        ASSERT_EQ(write(terminal, "typed\n\x04", 7), 7);
    });
    close(terminal);
    EXPECT_EQ(outcome.status, 0) << outcome.err << outcome.signal;
    EXPECT_EQ(run({ostrel_binary, dir + "/out", dir + "/back"}).status, 0);
    EXPECT_EQ(read_file(dir + "/back"), (Bytes{'t', 'y', 'p', 'e', 'd', '\n'}));
}

// The output's directory, renamed while the output is written, takes the
// temporary file along: the output is made in it under its name, and no
// temporary file stays behind, in either place.
TEST_F(Pack, OutputDirectoryMovedMeanwhile)
{
    const Bytes input = text(500000, 3);
    std::filesystem::create_directory(dir + "/before");
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The packer waits on the pipe, its temporary file made, until the
    // directory has moved.
    Outcome outcome = run_meanwhile({pack_binary, "-1", fifo, dir + "/before/out"}, [&](int) {
        std::ofstream pipe(fifo, std::ios::binary);
        for (int tries = 0; strays(dir + "/before").empty() && tries < 2000; tries++)
            usleep(1000);
        std::filesystem::rename(dir + "/before", dir + "/after");
        pipe.write(reinterpret_cast<const char*>(input.data()),
                   static_cast<std::streamsize>(input.size()));
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(strays(dir + "/after"), std::vector<std::string>{});
    EXPECT_FALSE(file_exists(dir + "/before"));
    EXPECT_EQ(run({ostrel_binary, dir + "/after/out", dir + "/back"}).status, 0);
    EXPECT_EQ(read_file(dir + "/back"), input);
}

// A write that fails (here past a file size limit, as on a full disk)
// leaves neither a partial file nor a temporary one, and an existing output
// as it was; so does a run ended by a signal, with the signal's status.
TEST_F(Pack, FailedOrInterruptedRunsLeaveTheOutputAsItWas)
{
    write_file(dir + "/in", random_bytes(300000, 8));
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing);
        std::filesystem::remove(dir + "/out");
        if (existing)
            write_file(dir + "/out", {'o', 'l', 'd'});
        Outcome outcome = run({pack_binary, dir + "/in", dir + "/out"}, 60, 0, 100000);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(
            outcome.err,
            std::regex(R"(util\.cpp:[0-9]+:put_bytes:fwrite: fwrite: File too large\n)")))
            << outcome.err;
        EXPECT_EQ(file_exists(dir + "/out"), existing);
        if (existing) {
            EXPECT_EQ(read_file(dir + "/out"), (Bytes{'o', 'l', 'd'}));
        }
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
    write_file(dir + "/in", text(24 << 20, 3));
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        Outcome outcome =
            run_interrupted({pack_binary, "-9", dir + "/in", dir + "/out"}, signal, 400);
        EXPECT_EQ(outcome.signal, signal);
        EXPECT_EQ(read_file(dir + "/out"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
    // The input is read in place: cut short while it is packed, it can
    // no longer be, and the run ends with a report, not a crash.
    Outcome cut = run_meanwhile({pack_binary, "-9", dir + "/in", dir + "/out"}, [&](int pid) {
        for (int wait = 0; wait < 1000 && !has_mapped(pid, dir + "/in"); wait++)
            usleep(10000);
        std::filesystem::resize_file(dir + "/in", 0);
    });
    EXPECT_EQ(cut.status, 1);
    EXPECT_TRUE(std::regex_match(
        cut.err,
        std::regex(
            R"(tools/lzh8pack/input\.cpp:[0-9]+:input_failed: input file shrank or failed while it was packed\n)")))
        << cut.err;
    EXPECT_EQ(read_file(dir + "/out"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
    // Rewritten in place, at the same size, while it is packed: what was
    // packed may hold bytes of both versions, so nothing is written.
    write_file(dir + "/in", text(24 << 20, 3));
    Outcome changed = run_meanwhile({pack_binary, "-9", dir + "/in", dir + "/out"}, [&](int pid) {
        for (int wait = 0; wait < 1000 && !has_mapped(pid, dir + "/in"); wait++)
            usleep(10000);
        std::FILE* in = std::fopen((dir + "/in").c_str(), "r+b");
        std::fseek(in, 12 << 20, SEEK_SET);
        std::fputs("rewritten", in);
        std::fclose(in);
    });
    EXPECT_EQ(changed.status, 1);
    EXPECT_TRUE(std::regex_match(
        changed.err,
        std::regex(
            R"(tools/lzh8pack/input\.cpp:[0-9]+:check_input_unchanged: input file changed while it was packed\n)")))
        << changed.err;
    EXPECT_EQ(read_file(dir + "/out"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
}

TEST_F(Pack, ReplacedOutputKeepsItsMode)
{
    write_file(dir + "/in", text(3000, 3));
    write_file(dir + "/out", {1});
    std::filesystem::permissions(dir + "/out", std::filesystem::perms(0640));
    ASSERT_EQ(run({pack_binary, dir + "/in", dir + "/out"}).status, 0);
    EXPECT_EQ(std::filesystem::status(dir + "/out").permissions(), std::filesystem::perms(0640));
}

// Inputs the format cannot hold, and memory that runs out, are refused
// with one line, quickly, before the whole input is read.
TEST_F(Pack, RefusesWhatCannotBePacked)
{
    {
        std::ofstream sparse(dir + "/in", std::ios::binary);
        sparse.seekp((std::int64_t{1} << 32), std::ios::beg);
        sparse.put('x');  // 2^32 + 1 bytes, nearly all of them a hole
    }
#ifdef OSTREL_SANITIZED
    const std::uint64_t small_memory = 0;  // the sanitizers cannot start under a limit
#else
    const std::uint64_t small_memory = std::uint64_t{256} << 20;
#endif
    // Refused before it is read: quickly, and in little memory.
    Outcome too_large = run({pack_binary, dir + "/in", dir + "/out"}, 10, small_memory);
    EXPECT_EQ(too_large.status, 1);
    EXPECT_TRUE(std::regex_match(
        too_large.err,
        std::regex(R"(tools/lzh8pack/input\.cpp:[0-9]+:read_input: input too large for LZH8\n)")))
        << too_large.err;
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
#ifndef OSTREL_SANITIZED
    write_file(dir + "/in", text(64 << 20, 4));
    Outcome no_memory =
        run({pack_binary, "-9", dir + "/in", dir + "/out"}, 120, std::uint64_t{96} << 20);
    EXPECT_EQ(no_memory.status, 1);
    EXPECT_TRUE(std::regex_match(
        no_memory.err,
        std::regex(
            R"(tools/lzh8pack/main\.cpp:[0-9]+:report_out_of_memory:operator new: Cannot allocate memory\n)")))
        << no_memory.err;
    EXPECT_FALSE(file_exists(dir + "/out"));
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
#endif
}

}  // namespace
