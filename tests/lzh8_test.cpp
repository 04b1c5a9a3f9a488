// The lzh8 command run as a user runs it: several files at once, pipes,
// terminals, signals, and the exact words and statuses it ends with.
#include "run.h"

#include <gtest/gtest.h>

#include <ostrel/lzh8.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string lzh8 = LZH8_BINARY;
const std::string examples = EXAMPLES_DIR;

// A linear congruential step: test data the same on every machine.
std::uint32_t next_random(std::uint32_t& state)
{
    state = state * 1103515245 + 12345;
    return state;
}

// Text with matches near and far: the packer has work to do.
Bytes words(std::size_t size, unsigned seed)
{
    Bytes bytes;
    std::uint32_t state = seed;
    while (bytes.size() < size) {
        next_random(state);
        std::string word = "word" + std::to_string(state >> 22) + (state & 0x100 ? " " : "\n");
        bytes.insert(bytes.end(), word.begin(), word.end());
    }
    bytes.resize(size);
    return bytes;
}

// Two letters at random: short matches everywhere, which keep -9's match
// finder busy twice as long a byte as words.
Bytes two_letters(std::size_t size, unsigned seed)
{
    Bytes bytes(size);
    std::uint32_t state = seed;
    for (std::uint8_t& letter : bytes)
        letter = next_random(state) >> 30 & 1 ? 'a' : 'b';
    return bytes;
}

Bytes packed(const Bytes& plain)
{
    Bytes out(lzh8_pack_bound(plain.size()));
    std::size_t size = 0;
    EXPECT_EQ(lzh8_pack(plain.data(), plain.size(), out.data(), out.size(), &size, 1, 0), LZH8_OK);
    out.resize(size);
    return out;
}

std::vector<std::string> names_in(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class Lzh8 : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
    }
    std::string at(const std::string& name) const
    {
        return dir + "/" + name;
    }
    std::string dir;
};

TEST_F(Lzh8, PacksListsTestsAndUnpacksSeveralFiles)
{
    const Bytes a = words(300000, 1), b = read_file(examples + "/stock.txt"), empty;
    write_file(at("a"), a);
    write_file(at("b.txt"), b);
    write_file(at("empty"), empty);
    Outcome packing = run({lzh8, "-9", at("a"), at("b.txt"), at("empty")});
    EXPECT_EQ(packing.status, 0) << packing.err;
    EXPECT_EQ(packing.err, "");
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"a", "a.lzh8", "b.txt", "b.txt.lzh8",
                                                       "empty", "empty.lzh8"}));

    // -l: packed size, declared size, packed over declared, the tables'
    // entries and the name; a total row for several.
    Outcome listing = run({lzh8, "-l", examples + "/stock.lzh8", at("b.txt.lzh8")});
    EXPECT_EQ(listing.status, 0);
    const std::string b_packed = std::to_string(read_file(at("b.txt.lzh8")).size());
    EXPECT_EQ(listing.out.substr(0, listing.out.find('\n') + 1),
              "      packed     declared   ratio  lengths  offsets  name\n");
    EXPECT_NE(listing.out.find("        1566         5821   0.269      140       23  " + examples +
                               "/stock.lzh8\n"),
              std::string::npos)
        << listing.out;
    EXPECT_NE(listing.out.find("(2 files)\n"), std::string::npos);

    EXPECT_EQ(run({lzh8, "-t", at("a.lzh8"), at("b.txt.lzh8"), at("empty.lzh8")}).out, "");
    const std::string unpacked = make_temp_dir();
    for (const std::string name : {"a", "b.txt", "empty"}) {
        Outcome one = run({lzh8, "-d", at(name + ".lzh8"), "-o", unpacked + "/" + name});
        EXPECT_EQ(one.status, 0) << one.err;
    }
    EXPECT_EQ(read_file(unpacked + "/a"), a);
    EXPECT_EQ(read_file(unpacked + "/b.txt"), b);
    // Each output keeps its input's modification time, packed and unpacked.
    EXPECT_EQ(std::filesystem::last_write_time(at("b.txt.lzh8")),
              std::filesystem::last_write_time(at("b.txt")));
    EXPECT_EQ(std::filesystem::last_write_time(unpacked + "/b.txt"),
              std::filesystem::last_write_time(at("b.txt.lzh8")));
    EXPECT_EQ(read_file(unpacked + "/empty"), empty);
    std::filesystem::remove_all(unpacked);

    // In place, with the originals removed once their outputs are whole.
    std::filesystem::remove(at("a"));
    std::filesystem::remove(at("b.txt"));
    const std::string a_packed = std::to_string(read_file(at("a.lzh8")).size());
    Outcome in_place = run({lzh8, "-d", "--rm", "-v", at("a.lzh8"), at("b.txt.lzh8")});
    EXPECT_EQ(in_place.status, 0);
    EXPECT_EQ(in_place.err.substr(0, in_place.err.find('(')),
              at("a.lzh8") + ": " + a_packed + " -> 300000 bytes ");
    EXPECT_NE(in_place.err.find("\n" + at("b.txt.lzh8") + ": " + b_packed + " -> 5821 bytes ("),
              std::string::npos)
        << in_place.err;
    EXPECT_EQ(read_file(at("a")), a);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"a", "b.txt", "empty", "empty.lzh8"}));
}

TEST_F(Lzh8, RefusesExistingOutputsAndKeepsGoingPastFailures)
{
    const Bytes a = words(20000, 2);
    write_file(at("a"), a);
    write_file(at("a.lzh8"), {'o', 'l', 'd'});
    write_file(at("b"), words(1000, 3));
    write_file(at("bad.lzh8"), {0x40, 9, 0, 0, 1});
    // a.lzh8 exists: refused, and b is still packed; status 1.
    Outcome refused = run({lzh8, "--rm", at("a"), at("missing"), at("b")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "lzh8: " + at("a.lzh8") + ": already exists (-f replaces it)\nlzh8: " +
                               at("missing") + ": No such file or directory\n");
    EXPECT_EQ(read_file(at("a.lzh8")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(read_file(at("a")), a);  // not removed: its output was refused
    EXPECT_FALSE(file_exists(at("b")));
    EXPECT_TRUE(file_exists(at("b.lzh8")));
    // -f replaces it, and --rm takes the original only once it is done.
    EXPECT_EQ(run({lzh8, "-f", "--rm", at("a")}).status, 0);
    EXPECT_FALSE(file_exists(at("a")));
    // A private file's new output is as private.
    const auto owner_only =
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    write_file(at("private"), a);
    std::filesystem::permissions(at("private"), owner_only);
    EXPECT_EQ(run({lzh8, "--rm", at("private")}).status, 0);
    EXPECT_EQ(std::filesystem::status(at("private.lzh8")).permissions(), owner_only);
    std::filesystem::remove(at("private.lzh8"));
    // A damaged file among good ones: reported in the library's words,
    // nothing written for it, the others done.
    write_file(at("c.txt"), {'c'});
    Outcome mixed = run({lzh8, "-d", at("bad.lzh8"), at("a.lzh8"), at("c.txt")});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.err, "lzh8: " + at("bad.lzh8") + ": unexpected EOF\nlzh8: " + at("c.txt") +
                             ": unknown suffix, not .lzh8 (-o or -c says where to write)\n");
    EXPECT_EQ(read_file(at("a")), a);
    EXPECT_EQ(names_in(dir),
              (std::vector<std::string>{"a", "a.lzh8", "b.lzh8", "bad.lzh8", "c.txt"}));
    Outcome tested = run({lzh8, "-t", at("a.lzh8"), at("bad.lzh8")});
    EXPECT_EQ(tested.status, 1);
    EXPECT_EQ(tested.err, "lzh8: " + at("bad.lzh8") + ": unexpected EOF\n");
    // Usage errors: status 1 and the usage.
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{lzh8, "-x"}, {lzh8, "-T"}, {lzh8, "-o", "x", "a", "b"}}) {
        Outcome usage = run(wrong);
        EXPECT_EQ(usage.status, 1);
        EXPECT_NE(usage.err.find("\nUsage: lzh8 "), std::string::npos) << usage.err;
    }
}

// The peak resident memory of the process, read from its own status
// while it runs (a child's ru_maxrss keeps its parent's peak across exec),
// once it runs lzh8: before its exec, it is a copy of this test.
long peak_kib_while_running(int pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    long peak = 0;
    for (;;) {
        std::error_code error;
        const bool exec_done = std::filesystem::read_symlink(proc + "/exe", error) == lzh8;
        std::ifstream status(proc + "/status");
        std::string line;
        bool found = false;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) {
                if (exec_done)
                    peak = std::max(peak, std::atol(line.c_str() + 6));
                found = true;
            }
        if (!found)
            return peak;
        usleep(1000);
    }
}

// Runs lzh8 with these arguments on a pipe that is fed the input from
// another thread; its peak memory too.
Outcome run_on_pipe(const std::vector<std::string>& argv, const Bytes& input, long& peak_kib)
{
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    std::thread feeder([&] {
        for (std::size_t at = 0; at < input.size();) {
            ssize_t n = write(ends[1], input.data() + at,
                              std::min<std::size_t>(1 << 16, input.size() - at));
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        close(ends[1]);
    });
    RunOptions options;
    options.input = ends[0];
    Outcome outcome = run_meanwhile(argv, options, [&](int pid) {
        close(ends[0]);
        peak_kib = peak_kib_while_running(pid);
    });
    feeder.join();
    return outcome;
}

TEST_F(Lzh8, PipesBothWaysInBoundedMemory)
{
    signal(SIGPIPE, SIG_IGN);  // a feeder that outlives its reader fails its write instead
    const Bytes plain = words(2000000, 4);
    long peak = 0;
    Outcome packing = run_on_pipe({lzh8, "-3"}, plain, peak);
    ASSERT_EQ(packing.status, 0) << packing.err << packing.signal;
    const Bytes packed_bytes(packing.out.begin(), packing.out.end());
    Outcome unpacking = run_on_pipe({lzh8, "-dc"}, packed_bytes, peak);
    EXPECT_EQ(unpacking.status, 0);
    EXPECT_TRUE(Bytes(unpacking.out.begin(), unpacking.out.end()) == plain);
    const long small_peak = peak;
    // 120 MB decoded from a pipe: the stream decoder's fixed memory, not
    // the image.
    Bytes large(120 << 20);
    for (std::size_t i = 0; i < large.size(); i++)
        large[i] =
            static_cast<std::uint8_t>(static_cast<std::size_t>("abcdefghij"[i % 10]) ^ (i >> 20));
    Outcome large_run = run_on_pipe({lzh8, "-d", "-o", "/dev/null"}, packed(large), peak);
    EXPECT_EQ(large_run.status, 0) << large_run.err;
    EXPECT_LT(peak - small_peak, 16 << 10) << peak << " KiB against " << small_peak;
    // Cut short on a pipe: the library's words.
    Outcome cut =
        run_on_pipe({lzh8, "-d"}, Bytes(packed_bytes.begin(), packed_bytes.end() - 9), peak);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "lzh8: stdin: unexpected EOF\n");
}

// Runs argv with the descriptors marked on a pseudo-terminal; standard
// error, when it is not, and what the terminal shows.
struct TerminalRun {
    int status;
    std::string shown, err;
};

TerminalRun run_on_terminal(const std::vector<std::string>& argv, bool in, bool out, bool err,
                            int input = -1)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    // The slave is opened before the fork, so that the master reads until
    // the child's last copy is closed, never finding it not yet open.
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    char err_name[] = "/tmp/lzh8-err-XXXXXX";
    int err_file = mkstemp(err_name);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(in ? slave : input >= 0 ? input : null, 0);
        dup2(out ? slave : null, 1);
        dup2(err ? slave : err_file, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(slave);
    TerminalRun run = {-1, "", ""};
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
        run.shown.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(master);
    std::ifstream err_stream(err_name);
    run.err.assign(std::istreambuf_iterator<char>(err_stream), {});
    unlink(err_name);
    close(err_file);
    return run;
}

TEST_F(Lzh8, TerminalsAreRefusedPackedDataAndShownProgress)
{
    write_file(at("a"), words(5000, 5));
    TerminalRun to_terminal = run_on_terminal({lzh8, "-c", at("a")}, false, true, false);
    EXPECT_EQ(to_terminal.status, 1);
    EXPECT_EQ(to_terminal.err,
              "lzh8: stdout: will not write packed data to a terminal (-f forces it)\n");
    EXPECT_EQ(to_terminal.shown, "");
    TerminalRun from_terminal = run_on_terminal({lzh8, "-d"}, true, false, false);
    EXPECT_EQ(from_terminal.status, 1);
    EXPECT_EQ(from_terminal.err,
              "lzh8: stdin: will not read packed data from a terminal (-f forces it)\n");
    // Unpacked bytes may go to a terminal.
    EXPECT_EQ(run({lzh8, at("a")}).status, 0);
    TerminalRun shown = run_on_terminal({lzh8, "-dc", at("a.lzh8")}, false, true, false);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.shown.size() >= 5000, true);

    // Work of more than a second, from a pipe fed slowly: a progress line
    // on a terminal, none on a file.
    const Bytes packed_bytes = packed(words(3000000, 6));
    for (bool terminal : {true, false}) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        std::thread feeder([&] {
            const std::size_t step = packed_bytes.size() / 8 + 1;
            for (std::size_t at = 0; at < packed_bytes.size(); at += step) {
                (void)!write(ends[1], packed_bytes.data() + at,
                             std::min(step, packed_bytes.size() - at));
                usleep(200000);
            }
            close(ends[1]);
        });
        TerminalRun slow = run_on_terminal({lzh8, "-t"}, false, false, terminal, ends[0]);
        close(ends[0]);
        feeder.join();
        EXPECT_EQ(slow.status, 0);
        const std::string& said = terminal ? slow.shown : slow.err;
        EXPECT_EQ(said.find("stdin: ") != std::string::npos &&
                      said.find("% ") != std::string::npos &&
                      said.find("MB/s") != std::string::npos,
                  terminal)
            << said;
    }
    // Packing shows how much of its input it has parsed. 6 MB of two
    // letters take three seconds at -9 on the machines we test on, so that
    // one three times faster still works for the second progress waits for.
    write_file(at("slow"), two_letters(6 << 20, 8));
    TerminalRun packing = run_on_terminal({lzh8, "-9", "-T1", at("slow")}, false, false, true);
    EXPECT_EQ(packing.status, 0);
    const std::size_t line = packing.shown.find("slow: ");
    EXPECT_TRUE(line != std::string::npos && packing.shown.find("% ", line) == line + 9 &&
                packing.shown.find(" MB/s", line) != std::string::npos)
        << packing.shown;
}

TEST_F(Lzh8, ASignalLeavesNoTemporaryFile)
{
    write_file(at("big"), words(40 << 20, 7));
    write_file(at("big.lzh8"), {'k', 'e', 'e', 'p'});
    Outcome stopped = run_interrupted({lzh8, "-9", "-f", "-T1", at("big")}, SIGTERM, 300);
    EXPECT_EQ(stopped.signal, SIGTERM);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"big", "big.lzh8"}));
    EXPECT_EQ(read_file(at("big.lzh8")), (Bytes{'k', 'e', 'e', 'p'}));
}

}  // namespace
