// The command line: lzh8pack [-1 ... -9] [--] infile outfile
#include "lzh8pack.h"

#include "files.h"
#include "util.h"

#include <malloc.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#ifndef LZH8PACK_VERSION
#define LZH8PACK_VERSION "0.8"
#endif

namespace {

const unsigned default_level = 6;

void print_usage(std::FILE* stream, const char* program)
{
    std::fprintf(stream, "Usage: %s [-1 ... -9] [--] infile outfile\n", program);
}

void print_help(const char* program)
{
    print_usage(stdout, program);
    std::printf("Packs infile into the LZH8 file outfile, which ostrel decodes back.\n"
                "\n"
                "  -1 ... -9      faster ... smaller (default -%u)\n"
                "  -h, --help     show this help and exit\n"
                "  -V, --version  show the version and exit\n"
                "  --             end of options\n"
                "\n"
                "A name of - reads standard input or writes standard output. An existing\n"
                "outfile is replaced only once the new file is complete.\n",
                default_level);
}

// Every allocation that fails ends here, in the program's one way of failing.
void report_out_of_memory()
{
    errno = ENOMEM;
    REPORT_CALL_FAILURE("operator new");
}

// What -h and -V print must have reached standard output for the run to
// succeed (a full disk, a closed pipe).
int end_after_printing()
{
    if (std::fclose(stdout) == EOF)
        REPORT_CALL_FAILURE("fclose");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    guard_standard_descriptors();
    std::set_new_handler(report_out_of_memory);
    // The threads allocate a few large blocks each: one heap serves them
    // all, where glibc would reserve 64 MiB of address space for each
    // thread's own, which a memory limit (ulimit -v) counts.
    mallopt(M_ARENA_MAX, 1);
    const char* program = argc > 0 ? argv[0] : "lzh8pack";
    unsigned level = default_level;
    std::vector<const char*> names;
    bool options = true;
    for (int a = 1; a < argc; a++) {
        const char* arg = argv[a];
        if (!options || arg[0] != '-' || arg[1] == '\0') {
            names.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (arg[1] >= '1' && arg[1] <= '9' && arg[2] == '\0') {
            level = static_cast<unsigned>(arg[1] - '0');
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_help(program);
            return end_after_printing();
        } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
            std::printf("lzh8pack %s\n", LZH8PACK_VERSION);
            return end_after_printing();
        } else {
            std::string message = std::string("unknown option ") + arg;
            REPORT_FAILURE(message.c_str());
        }
    }
    if (names.size() != 2) {
        print_usage(stderr, program);
        return 1;
    }
    using namespace lzh8pack;
    InputFile input = open_input(names[0]);
    Output output = open_output(names[1], input);
    Bytes buffer;
    Input data = read_input(input, buffer);
    pack_data(output.stream, data, level_settings(level));
    check_input_unchanged(input);
    close_input(input);
    finish_output(output);
    return 0;
}
