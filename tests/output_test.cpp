// What both programs do with the output they are given: an existing file
// replaced whole or not at all, whatever stops the run; standard output
// written as it stands; links, owners, modes and long names kept; and the
// small stacks, closed descriptors and strange names a user may hand them.
#include "decode_cases.h"
#include "run.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <regex>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string ostrel_binary = OSTREL_BINARY;
const std::string pack_binary = LZH8PACK_BINARY;
const int nobody = 65534;

// Text of words with a stretch of noise: it packs, but not to nothing.
Bytes sample(std::size_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < count) {
        for (auto n = 2 + rng() % 7; n > 0; n--)
            bytes.push_back(static_cast<std::uint8_t>('a' + rng() % 20u));
        bytes.push_back(rng() % 9 == 0 ? '\n' : ' ');
        if (rng() % 500 == 0)
            for (int n = 0; n < 300; n++)
                bytes.push_back(static_cast<std::uint8_t>(rng()));
    }
    bytes.resize(count);
    return bytes;
}

class Outputs : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        plain = sample(3 << 20, 1);
        write_file(dir + "/plain", plain);
        ASSERT_EQ(run({pack_binary, "-1", dir + "/plain", dir + "/packed"}).status, 0);
        packed = read_file(dir + "/packed");
        old = sample(2100000, 2);  // what a failed run must leave as it was
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }

    // Either program, writing to out: ostrel decodes the packed file,
    // lzh8pack packs the plain one.
    struct Program {
        std::string name;
        std::vector<std::string> argv;
        const Bytes& result;
    };
    std::vector<Program> programs(const std::string& out)
    {
        return {{"ostrel", {ostrel_binary, dir + "/packed", out}, plain},
                {"lzh8pack", {pack_binary, "-1", dir + "/plain", out}, packed}};
    }

    // Everything in the directory that a run should not have left: any
    // name starting with a dot is a temporary file.
    std::vector<std::string> strays(const std::string& where)
    {
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(where))
            if (entry.path().filename().string()[0] == '.')
                left.push_back(entry.path().filename());
        return left;
    }

    std::string dir;
    Bytes plain, packed, old;
};

// A write that fails part-way, past a file size limit (with SIGXFSZ
// ignored, and with its default action) or on a full filesystem, leaves
// the existing output byte for byte and no temporary file.
TEST_F(Outputs, FailedWritesLeaveTheOldOutputWhole)
{
    struct Failure {
        std::string name;
        RunOptions options;
        std::string pattern;
        int signal;
    };
    RunOptions ignored, signalled;
    ignored.file_size = signalled.file_size = 1 << 20;
    signalled.file_size_signal = true;
    const std::vector<Failure> failures = {
        {"file size, SIGXFSZ ignored", ignored,
         R"(util\.cpp:[0-9]+:put_bytes:fwrite: fwrite: File too large\n)", 0},
        {"file size, SIGXFSZ", signalled, "", SIGXFSZ},
    };
    for (const Program& program : programs(dir + "/out"))
        for (const Failure& failure : failures) {
            SCOPED_TRACE(program.name + ": " + failure.name);
            write_file(dir + "/out", old);
            Outcome outcome = run_with(program.argv, failure.options);
            EXPECT_EQ(outcome.signal, failure.signal);
            if (failure.signal == 0) {
                EXPECT_EQ(outcome.status, 1);
                EXPECT_TRUE(std::regex_match(outcome.err, std::regex(failure.pattern)))
                    << outcome.err;
            }
            EXPECT_TRUE(read_file(dir + "/out") == old);
            EXPECT_EQ(strays(dir), std::vector<std::string>{});
        }
    // A filesystem of 2.5 MiB holds the old output but not a second file.
    const std::string small = dir + "/small";
    std::filesystem::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2560k") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here for a full filesystem";
    for (const Program& program : programs(small + "/out")) {
        SCOPED_TRACE(program.name + ": full filesystem");
        write_file(small + "/out", old);
        Outcome outcome = run(program.argv);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(std::regex_match(
            outcome.err,
            std::regex(R"(util\.cpp:[0-9]+:put_bytes:fwrite: fwrite: No space left on device\n)")))
            << outcome.err;
        EXPECT_TRUE(read_file(small + "/out") == old);
        EXPECT_EQ(strays(small), std::vector<std::string>{});
    }
    umount(small.c_str());
}

// Every signal that ends a process by default ends the run as it would
// have, and takes the temporary file with it.
TEST_F(Outputs, EndingSignalsRemoveTheTemporaryFile)
{
    // Runs long enough to be signalled once their temporary file is
    // there: an image of 256 MiB to decode, 24 MiB to pack at -9.
    std::string stream = decode_cases::literals("a");
    for (std::uint32_t made = 1; made < 256u << 20; made += 258)
        stream += lzh8::match(decode_cases::lengths_code, decode_cases::offsets_code, 258, 0);
    lzh8::File long_image = decode_cases::coded_file(256u << 20, stream);
    long_image.long_header = true;
    write_file(dir + "/long.lzh8", lzh8::build(long_image));
    write_file(dir + "/big", sample(24 << 20, 3));
    const std::vector<std::vector<std::string>> runs = {
        {ostrel_binary, dir + "/long.lzh8", dir + "/out"},
        {pack_binary, "-9", dir + "/big", dir + "/out"}};
    const std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,   SIGTERM,
                                      SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
    for (const std::vector<std::string>& argv : runs)
        for (int signal : signals) {
            SCOPED_TRACE(argv[0] + " and signal " + std::to_string(signal));
            write_file(dir + "/out", old);
            Outcome outcome = run_meanwhile(argv, [&](int pid) {
                for (int wait = 0; wait < 5000 && strays(dir).empty(); wait++)
                    usleep(1000);
                kill(pid, signal);
            });
            EXPECT_EQ(outcome.signal, signal);
            EXPECT_TRUE(read_file(dir + "/out") == old);
            EXPECT_EQ(strays(dir), std::vector<std::string>{});
        }
    // ostrel maps its input: cut short while it is decoded, it can no
    // longer be, and the run ends with a report, not a crash.
    Outcome cut = run_meanwhile(runs[0], [&](int pid) {
        for (int wait = 0; wait < 5000 && !has_mapped(pid, dir + "/long.lzh8"); wait++)
            usleep(1000);
        truncate((dir + "/long.lzh8").c_str(), 0);
    });
    EXPECT_EQ(cut.status, 1);
    EXPECT_TRUE(std::regex_match(
        cut.err,
        std::regex(
            R"(ostrel\.cpp:[0-9]+:input_failed: input file shrank or failed while it was decoded\n)")))
        << cut.err;
    EXPECT_TRUE(read_file(dir + "/out") == old);
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
}

// Standard output, by any of its names, is written where the shell put
// it: appended to with >>, never opened afresh or cut. Run through a
// shell, which sets up the redirections.
TEST_F(Outputs, StandardOutputIsWrittenAsItStands)
{
    const Bytes head = {'l', 'o', 'g', '\n'};
    for (const std::string name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "-"})
        for (Program& program : programs(name)) {
            if (program.name == "ostrel" && name == "-")
                continue;  // a file named - for ostrel
            SCOPED_TRACE(program.name + " to " + name);
            write_file(dir + "/log", head);
            std::string command;
            for (const std::string& arg : program.argv)
                command += "'" + arg + "' ";
            Outcome outcome = run({"/bin/sh", "-c", command + ">> " + dir + "/log"});
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            Bytes expected = head;
            expected.insert(expected.end(), program.result.begin(), program.result.end());
            EXPECT_TRUE(read_file(dir + "/log") == expected);
            EXPECT_EQ(strays(dir), std::vector<std::string>{});
        }
}

// A symbolic link given as the output stays a link, through a chain of
// them and when the file it leads to does not exist yet; the file it
// leads to is replaced, its other links kept by writing it in place.
TEST_F(Outputs, LinksAreFollowedAndKept)
{
    std::filesystem::create_directory(dir + "/sub");
    for (Program& program : programs(dir + "/link")) {
        SCOPED_TRACE(program.name);
        for (bool target_exists : {true, false}) {
            std::filesystem::remove(dir + "/sub/target");
            std::filesystem::remove(dir + "/link");
            std::filesystem::remove(dir + "/middle");
            if (target_exists)
                write_file(dir + "/sub/target", old);
            std::filesystem::create_symlink("sub/target", dir + "/middle");
            std::filesystem::create_symlink(dir + "/middle", dir + "/link");
            Outcome outcome = run(program.argv);
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link"));
            EXPECT_TRUE(std::filesystem::is_symlink(dir + "/middle"));
            EXPECT_TRUE(read_file(dir + "/sub/target") == program.result);
            EXPECT_EQ(strays(dir + "/sub"), std::vector<std::string>{});
        }
    }
    // ostrel keeps a second hard link to its output: it writes in place.
    write_file(dir + "/out", old);
    std::filesystem::create_hard_link(dir + "/out", dir + "/other");
    ASSERT_EQ(run(programs(dir + "/out")[0].argv).status, 0);
    EXPECT_TRUE(read_file(dir + "/other") == plain);
}

// A closed standard descriptor never becomes one of the program's own
// files; reading a closed standard input is refused.
TEST_F(Outputs, ClosedStandardDescriptorsStayClosed)
{
    for (Program& program : programs(dir + "/out")) {
        SCOPED_TRACE(program.name);
        std::string command;
        for (const std::string& arg : program.argv)
            command += "'" + arg + "' ";
        Outcome outcome = run({"/bin/sh", "-c", command + "<&- >&- 2>&-"});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_TRUE(read_file(dir + "/out") == program.result);
    }
    std::filesystem::remove(dir + "/out");
    Outcome closed = run({"/bin/sh", "-c", pack_binary + " - " + dir + "/out <&-"});
    EXPECT_EQ(closed.status, 1);
    EXPECT_TRUE(std::regex_match(
        closed.err,
        std::regex(
            R"(tools/lzh8pack/input\.cpp:[0-9]+:read_input:fread: fread: Bad file descriptor\n)")))
        << closed.err;
    EXPECT_FALSE(file_exists(dir + "/out"));
}

// Names as long as a directory entry may be: the temporary file's name is
// cut to fit.
TEST_F(Outputs, LongestNamesWork)
{
    const std::string name = dir + "/" + std::string(250, 'n');
    for (Program& program : programs(name)) {
        SCOPED_TRACE(program.name);
        write_file(name, old);
        Outcome outcome = run(program.argv);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(read_file(name) == program.result);
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
}

// Both programs run in a stack of 64 KiB, as gzip and xz do.
TEST_F(Outputs, SmallStackSuffices)
{
    RunOptions small;
    small.stack = 64 << 10;
    for (const std::string level : {"-1", "-6", "-9"}) {
        SCOPED_TRACE(level);
        Outcome packing = run_with({pack_binary, level, dir + "/plain", dir + "/again"}, small);
        EXPECT_EQ(packing.status, 0) << packing.err;
        Outcome decoding = run_with({ostrel_binary, dir + "/again", dir + "/out"}, small);
        EXPECT_EQ(decoding.status, 0) << decoding.err;
        EXPECT_TRUE(read_file(dir + "/out") == plain);
    }
}

// Another user's file is replaced only where that user could write it:
// a read-only file is refused before any work, and so is one in a sticky
// directory, which ostrel writes in place instead. A file replaced by its
// owner's administrator keeps its owner, group and mode.
TEST_F(Outputs, OwnersAndPermissionsAreRespected)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as another user";
    using std::filesystem::perms;
    std::filesystem::permissions(dir, perms::all);  // so that nobody may enter
    const std::string shared = dir + "/shared";
    std::filesystem::create_directory(shared);
    RunOptions as_nobody;
    as_nobody.user = nobody;
    // The build tree may lie where nobody cannot reach (a checkout in
    // /root, or below any directory of mode 0700): nobody runs copies.
    const std::string bin = dir + "/bin";
    std::filesystem::create_directory(bin);
    std::filesystem::copy_file(ostrel_binary, bin + "/ostrel");
    std::filesystem::copy_file(pack_binary, bin + "/lzh8pack");
    const std::string out = shared + "/out";
    struct Case {
        perms directory, file;
        std::string ostrel_error, pack_error;
    };
    const std::vector<Case> cases = {
        {perms::all, perms(0444), R"(ostrel\.cpp:[0-9]+:main:fopen: Permission denied\n)",
         R"(tools/lzh8pack/write\.cpp:[0-9]+:open_output:open: Permission denied\n)"},
        {perms::all | perms::sticky_bit, perms(0666), "",
         R"(tools/lzh8pack/write\.cpp:[0-9]+:open_output:open: Permission denied\n)"}};
    for (const Case& c : cases) {
        std::filesystem::permissions(shared, c.directory);
        for (Program& program : programs(out)) {
            SCOPED_TRACE(program.name + (c.ostrel_error.empty() ? " in a sticky directory" : ""));
            write_file(out, old);
            std::filesystem::permissions(out, c.file);
            std::filesystem::permissions(dir + "/plain", perms(0644));
            std::filesystem::permissions(dir + "/packed", perms(0644));
            std::vector<std::string> argv = program.argv;
            argv[0] = bin + "/" + program.name;
            Outcome outcome = run_with(argv, as_nobody);
            const std::string& error = program.name == "ostrel" ? c.ostrel_error : c.pack_error;
            if (error.empty()) {
                EXPECT_EQ(outcome.status, 0) << outcome.err;
                EXPECT_TRUE(read_file(out) == program.result);
            } else {
                EXPECT_EQ(outcome.status, 1);
                EXPECT_TRUE(std::regex_match(outcome.err, std::regex(error))) << outcome.err;
                EXPECT_TRUE(read_file(out) == old);
            }
            struct stat info;
            ASSERT_EQ(stat(out.c_str(), &info), 0);
            EXPECT_EQ(info.st_uid, 0u);
            EXPECT_EQ(strays(shared), std::vector<std::string>{});
        }
    }
    for (Program& program : programs(out)) {
        SCOPED_TRACE(program.name + " replacing another user's file");
        write_file(out, old);
        ASSERT_EQ(chown(out.c_str(), nobody, nobody), 0);
        std::filesystem::permissions(out, perms(0640));
        EXPECT_EQ(run(program.argv).status, 0);
        struct stat info;
        ASSERT_EQ(stat(out.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, static_cast<uid_t>(nobody));
        EXPECT_EQ(info.st_gid, static_cast<gid_t>(nobody));
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_TRUE(read_file(out) == program.result);
    }
}

}  // namespace
