// The command line: lzh8pack [-1 ... -9] [--] infile outfile
#include "lzh8pack.h"

#include "files.h"
#include "printable.h"
#include "util.h"

#include <ostrel/lzh8.h>

#include <malloc.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace {

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
                LZH8_DEFAULT_LEVEL);
}

// Every allocation that fails ends here, in the program's one way of failing.
void report_out_of_memory()
{
    errno = ENOMEM;
    REPORT_CALL_FAILURE("operator new");
}

// The file's pieces go to the output's stream as the library makes them.
// A piece the stream refuses stops the packing, and is kept: written again
// once the library has returned, through util's writer, it meets the same
// refusal (a full disk, a file size limit, a closed pipe), which the
// writer then reports.
struct Writing {
    std::FILE* stream;
    lzh8pack::Bytes refused;
};

extern "C" int write_piece(void* context, const void* bytes, std::size_t size)
{
    auto* writing = static_cast<Writing*>(context);
    if (std::fwrite(bytes, 1, size, writing->stream) == size)
        return 0;
    auto* first = static_cast<const std::uint8_t*>(bytes);
    writing->refused.assign(first, first + size);
    return 1;
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
    unsigned level = LZH8_DEFAULT_LEVEL;
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
            std::printf("lzh8pack %s\n", lzh8_version());
            return end_after_printing();
        } else {
            std::string message = "unknown option " + printable(arg);
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
    Writing writing = {output.stream, {}};
    lzh8_result result =
        lzh8_pack_to(data.bytes, data.size, write_piece, &writing, static_cast<int>(level), 0);
    if (result == LZH8_NO_MEMORY)
        report_out_of_memory();
    if (result == LZH8_WRITE_FAILED) {
        write_output(output, writing.refused.data(), writing.refused.size());
        REPORT_FAILURE("the output refused a write, then took it on retry");
    }
    if (result != LZH8_OK)
        REPORT_FAILURE(lzh8_result_text(result));
    check_input_unchanged(input);
    close_input(input);
    finish_output(output);
    return 0;
}
