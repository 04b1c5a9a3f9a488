// Runs a program as a user would and captures what it says, and small file
// helpers for tests that work on real files.
#ifndef OSTREL_TESTS_RUN_H
#define OSTREL_TESTS_RUN_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Outcome {
    int status = -1;    // exit status, or -1 when ended by a signal
    int signal = 0;     // the signal that ended it, if any
    std::string out;    // standard output
    std::string err;    // standard error
    long peak_kib = 0;  // its peak resident memory
};

// How a program is run: limits (0 for none) and who runs it.
struct RunOptions {
    unsigned timeout_seconds = 60;    // then ended by SIGALRM
    std::uint64_t address_space = 0;  // RLIMIT_AS: the child's virtual memory
    std::uint64_t file_size = 0;      // RLIMIT_FSIZE: the files it writes
    bool file_size_signal = false;    // past file_size: SIGXFSZ, or else EFBIG
    std::uint64_t stack = 0;          // RLIMIT_STACK
    int user = -1;                    // a user id to run as (the tests run as root)
    int input = -1;                   // a descriptor for standard input, else /dev/null
};

// Runs argv[0] with the given arguments; standard input is empty.
Outcome run_with(const std::vector<std::string>& argv, const RunOptions& options);

// The same with a time limit, an address space limit and a file size
// limit past which writes fail with EFBIG, as on a full disk.
Outcome run(const std::vector<std::string>& argv, unsigned timeout_seconds = 60,
            std::uint64_t address_space_limit = 0, std::uint64_t file_size_limit = 0);

// Runs argv as run does and sends it signal after delay_ms milliseconds.
Outcome run_interrupted(const std::vector<std::string>& argv, int signal, unsigned delay_ms);

// Runs argv as run_with does (as run does, with no options given), and
// meanwhile calls meanwhile with its process id.
Outcome run_meanwhile(const std::vector<std::string>& argv,
                      const std::function<void(int pid)>& meanwhile);
Outcome run_meanwhile(const std::vector<std::string>& argv, const RunOptions& options,
                      const std::function<void(int pid)>& meanwhile);

// Whether the process has the file at path mapped.
bool has_mapped(int pid, const std::string& path);

// A fresh, empty directory for one test.
std::string make_temp_dir();

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_file(const std::string& path);
bool file_exists(const std::string& path);

#endif
