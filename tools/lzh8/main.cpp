// lzh8: packs and unpacks LZH8 files, in the manner of gzip, xz and zstd.
//
//   lzh8 [options] [--] [file...]
//
// Each file is packed to FILE.lzh8, or with -d unpacked from NAME.lzh8 to
// NAME; with no file, or -, standard input goes to standard output.
// Originals are kept unless --rm; existing outputs are refused unless -f,
// and are replaced whole or not at all, through a temporary file beside
// them. A file that fails is reported, "lzh8: NAME: reason", and the
// others are still done; the run then exits with 1.
#include "decode.h"
#include "files.h"
#include "printable.h"

#include <ostrel/lzh8.h>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

const char suffix[] = ".lzh8";
const std::size_t piece_bytes = 1 << 16;

enum class Mode { pack, unpack, test, list };

struct Settings {
    Mode mode = Mode::pack;
    bool to_stdout = false, force = false, remove = false, verbose = false, quiet = false;
    int level = LZH8_DEFAULT_LEVEL;
    unsigned threads = 0;
    const char* output = nullptr;  // -o
};

// ---- Reports ------------------------------------------------------------

// A file's failure: "lzh8: NAME: reason". The run goes on with the next.
struct Failure {
    std::string reason;
};

Failure failure(const std::string& reason)
{
    return {reason};
}

Failure system_failure()
{
    return {std::strerror(errno)};
}

void report(const std::string& name, const std::string& reason)
{
    std::fprintf(stderr, "lzh8: %s: %s\n", printable(name.c_str()).c_str(), reason.c_str());
}

// The name a report gives a standard stream.
std::string shown_name(const char* name)
{
    return std::strcmp(name, "-") == 0 ? "stdin" : name;
}

// ---- Progress -----------------------------------------------------------

// A line on standard error, redrawn four times a second at most, for work
// that has taken a second: only where standard error is a terminal.
struct Progress {
    bool enabled;
    std::string name;
    std::uint64_t total;  // 0 where unknown
    std::chrono::steady_clock::time_point start, drawn;
    bool shown;
};

Progress start_progress(const Settings& settings, const std::string& name, std::uint64_t total)
{
    const auto now = std::chrono::steady_clock::now();
    return {!settings.quiet && isatty(2) == 1, name, total, now, now, false};
}

void show_progress(Progress& progress, std::uint64_t done)
{
    if (!progress.enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - progress.start).count();
    if (elapsed < 1 || now - progress.drawn < std::chrono::milliseconds(250))
        return;
    progress.drawn = now;
    progress.shown = true;
    const double rate = static_cast<double>(done) / elapsed / 1e6;
    if (progress.total > 0)
        std::fprintf(stderr, "\r%s: %3.0f%% %.1f MB/s\033[K", progress.name.c_str(),
                     100.0 * static_cast<double>(done) / static_cast<double>(progress.total), rate);
    else
        std::fprintf(stderr, "\r%s: %.1f MB, %.1f MB/s\033[K", progress.name.c_str(),
                     static_cast<double>(done) / 1e6, rate);
}

void end_progress(Progress& progress)
{
    if (progress.shown)
        std::fputs("\r\033[K", stderr);
    progress.shown = false;
}

// ---- Input --------------------------------------------------------------

// The input: a regular file is mapped; anything else is read as it comes.
struct Input {
    std::string name;  // as reports give it
    int fd = -1;
    struct stat status = {};
    const std::uint8_t* mapped = nullptr;
    std::size_t size = 0;  // of a mapped file
};

// A mapped input that shrinks under the program faults: the report names
// the file and ends the run, which removes any temporary file.
std::string faulting_name;

extern "C" void input_faulted(int)
{
    report(faulting_name, "input file shrank or failed while it was read");
    std::exit(1);
}

bool regular(const Input& input)
{
    return S_ISREG(input.status.st_mode);
}

bool open_input(const char* name, Input& input, Failure& why)
{
    input.name = shown_name(name);
    input.fd = std::strcmp(name, "-") == 0 ? 0 : open(name, O_RDONLY | O_CLOEXEC);
    if (input.fd < 0 || fstat(input.fd, &input.status) != 0) {
        why = system_failure();
        return false;
    }
    if (S_ISDIR(input.status.st_mode)) {
        why = failure("is a directory");
        return false;
    }
    if (regular(input)) {
        input.size = static_cast<std::size_t>(input.status.st_size);
        faulting_name = input.name;
        input.mapped = map_file(input.fd, input.size, false, input_faulted);
    }
    return true;
}

void close_input(Input& input)
{
    if (input.fd > 0)
        close(input.fd);
    input.fd = -1;
}

// Up to size bytes, fewer only at the input's end; -1 on failure.
ssize_t read_piece(int fd, std::uint8_t* into, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, into + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// The whole input in memory: mapped, or read into buffer.
bool whole_input(const Input& input, std::vector<std::uint8_t>& buffer, const std::uint8_t*& bytes,
                 std::size_t& size, Failure& why)
{
    if (input.mapped != nullptr || (regular(input) && input.size == 0)) {
        bytes = input.mapped;
        size = input.size;
        return true;
    }
    for (;;) {
        const std::size_t had = buffer.size();
        buffer.resize(had + piece_bytes);
        const ssize_t got = read_piece(input.fd, buffer.data() + had, piece_bytes);
        if (got < 0) {
            why = system_failure();
            return false;
        }
        buffer.resize(had + static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < piece_bytes)
            break;
    }
    bytes = buffer.data();
    size = buffer.size();
    return true;
}

// ---- Output -------------------------------------------------------------

// Standard output, or a file replaced whole through a temporary file
// beside it (or, for what takes none, such as /dev/null, written in
// place); null for -t.
struct Output {
    std::FILE* stream = nullptr;
    std::string name;      // as reports give it
    std::string replaced;  // the file a temporary replaces
    bool temporary = false;
    bool dated = false;  // given the input's times, once written
    timespec times[2] = {};
};

bool open_output(const Settings& settings, const std::string& path, bool packed, const Input& input,
                 Output& output, Failure& why)
{
    if (path.empty()) {
        output.stream = stdout;
        output.name = "stdout";
        if (packed && isatty(1) == 1 && !settings.force) {
            why = failure("will not write packed data to a terminal (-f forces it)");
            return false;
        }
        return true;
    }
    output.name = path;
    OutputTarget target = find_output(path.c_str(), false);
    if (target.standard_output) {
        output.stream = stdout;
        return true;
    }
    // A device or a pipe is written to, never replaced: no -f for those.
    if (target.exists && S_ISREG(target.existing.st_mode) && !settings.force) {
        why = failure("already exists (-f replaces it)");
        return false;
    }
    if (target.exists && S_ISDIR(target.existing.st_mode)) {
        why = failure("is a directory");
        return false;
    }
    if (takes_temporary(target)) {
        const char* failed = nullptr;
        output.stream = open_temporary(target, failed);
        output.replaced = target.path;
        output.temporary = output.stream != nullptr;
        // The output of a file keeps its times, as gzip's and zstd's do.
        output.dated = regular(input);
        output.times[0] = input.status.st_atim;
        output.times[1] = input.status.st_mtim;
        // A new output is no more open to others than its input, as with
        // gzip and zstd: a private file stays private, packed or not.
        if (output.temporary && !target.exists && regular(input) &&
            fchmod(fileno(output.stream), input.status.st_mode & 0777) != 0) {
            why = system_failure();
            abandon_temporary(output.stream);
            output.stream = nullptr;
            return false;
        }
    } else {
        output.stream = std::fopen(target.path.c_str(), "wb");
    }
    if (output.stream == nullptr) {
        why = system_failure();
        return false;
    }
    return true;
}

bool write_output(Output& output, const void* bytes, std::size_t size)
{
    return output.stream == nullptr || size == 0 ||
           std::fwrite(bytes, 1, size, output.stream) == size;
}

// Closes the output and puts it in place; false, with errno set, where
// that fails, the temporary file then removed.
bool finish_output(Output& output)
{
    if (output.stream == nullptr)
        return true;
    if (output.stream == stdout)
        return std::fflush(stdout) == 0;
    bool done = std::fflush(output.stream) == 0 && std::ferror(output.stream) == 0;
    if (!output.temporary)
        return std::fclose(output.stream) == 0 && done;
    // Times that cannot be set (a file system without them) are no
    // reason to lose the file.
    if (done && output.dated)
        (void)futimens(fileno(output.stream), output.times);
    if (!done) {
        const int error = errno;
        abandon_temporary(output.stream);
        errno = error;
        return false;
    }
    if (std::fclose(output.stream) != 0) {
        const int error = errno;
        abandon_temporary(nullptr);
        errno = error;
        return false;
    }
    return replace_output(output.replaced);
}

// An output given up: its temporary file removed, standard output left.
void drop_output(Output& output)
{
    if (output.stream == nullptr || output.stream == stdout)
        return;
    if (output.temporary)
        abandon_temporary(output.stream);
    else
        std::fclose(output.stream);
    output.stream = nullptr;
}

// ---- Packing ------------------------------------------------------------

struct Packing {
    Output* output;
    std::uint64_t written;
};

extern "C" int write_packed(void* context, const void* bytes, std::size_t size)
{
    auto* packing = static_cast<Packing*>(context);
    if (!write_output(*packing->output, bytes, size))
        return 1;
    packing->written += size;
    return 0;
}

// The input parsed so far: most of the time that packing takes.
extern "C" void show_packing(void* context, std::size_t done, std::size_t total)
{
    auto* progress = static_cast<Progress*>(context);
    progress->total = total;
    show_progress(*progress, done);
}

// ---- Decoding -----------------------------------------------------------

struct Decoded {
    std::uint64_t declared = 0, packed = 0;
};

// Through the stream decoder, in fixed memory: from a pipe or terminal,
// or a file whose declared size cannot be had in memory.
bool decode_stream(const Input& input, Output& output, Progress& progress, Decoded& decoded,
                   Failure& why)
{
    std::unique_ptr<lzh8_decoder, void (*)(lzh8_decoder*)> decoder(lzh8_decoder_new(),
                                                                   lzh8_decoder_free);
    std::vector<std::uint8_t> piece(piece_bytes), room(piece_bytes);
    if (!decoder) {
        why = failure(lzh8_result_text(LZH8_NO_MEMORY));
        return false;
    }
    std::size_t offset = 0, used = 0, made = 0;
    std::uint64_t total = 0;
    lzh8_result result = LZH8_MORE;
    while (result == LZH8_MORE) {
        std::size_t got = 0;
        const std::uint8_t* at = nullptr;
        if (input.mapped != nullptr || regular(input)) {
            got = std::min(piece_bytes, input.size - offset);
            at = input.mapped + offset;
        } else {
            const ssize_t n = read_piece(input.fd, piece.data(), piece_bytes);
            if (n < 0) {
                why = system_failure();
                return false;
            }
            got = static_cast<std::size_t>(n);
            at = piece.data();
        }
        offset += got;
        if (got == 0) {
            while (result == LZH8_MORE) {
                result = lzh8_decoder_end(decoder.get(), room.data(), room.size(), &made, nullptr);
                if (!write_output(output, room.data(), made))
                    return why = system_failure(), false;
            }
            break;
        }
        for (std::size_t left = got; result == LZH8_MORE && left > 0; at += used, left -= used) {
            result = lzh8_decoder_decode(decoder.get(), at, left, &used, room.data(), room.size(),
                                         &made);
            if (!write_output(output, room.data(), made))
                return why = system_failure(), false;
            total += made;
            if (decoded.declared == 0) {
                std::size_t size = 0;
                if (lzh8_decoder_declared_size(decoder.get(), &size) == LZH8_OK)
                    progress.total = decoded.declared = size;
            }
            show_progress(progress, total);
        }
        decoded.packed = offset;
    }
    if (result != LZH8_OK)
        why = failure(lzh8_result_text(result));
    return result == LZH8_OK;
}

// A mapped file, decoded whole in memory on the threads given.
bool decode_mapped(const Settings& settings, const Input& input, Output& output, Progress& progress,
                   Decoded& decoded, Failure& why)
{
    std::size_t size = 0;
    lzh8_result result = lzh8_decoded_size(input.mapped, input.size, &size);
    if (result != LZH8_OK) {
        why = failure(lzh8_result_text(result));
        return false;
    }
    // A size the file cannot reach, or cannot be had, is decoded in
    // fixed memory to its failure or its end.
    // So is a file whose progress is shown, which needs its bytes as they
    // are made.
    std::unique_ptr<std::uint8_t[]> image;
    if (size <= lzh8_reachable_size(input.size) && !progress.enabled)
        image.reset(new (std::nothrow) std::uint8_t[size > 0 ? size : 1]);
    if (!image)
        return decode_stream(input, output, progress, decoded, why);
    result = lzh8_decode_parallel(input.mapped, input.size, image.get(), size, &size, nullptr,
                                  settings.threads);
    decoded = {size, input.size};
    if (result != LZH8_OK) {
        why = failure(lzh8_result_text(result));
        return false;
    }
    if (!write_output(output, image.get(), size)) {
        why = system_failure();
        return false;
    }
    return true;
}

bool decode(const Settings& settings, const Input& input, Output& output, Progress& progress,
            Decoded& decoded, Failure& why)
{
    if (input.mapped != nullptr)
        return decode_mapped(settings, input, output, progress, decoded, why);
    return decode_stream(input, output, progress, decoded, why);
}

// ---- Listing ------------------------------------------------------------

struct Listed {
    std::uint64_t packed = 0, declared = 0;
    unsigned lengths = 0, offsets = 0;
};

// The header's fields, from the bytes of the file up to its offset count.
bool list_file(const std::uint8_t* bytes, std::size_t size, Listed& listed, Failure& why)
{
    std::size_t declared = 0;
    lzh8_result result = lzh8_decoded_size(bytes, size, &declared);
    const std::size_t lengths_at = size >= 4 ? ostrel::header_length(ostrel::load_le(bytes, 4)) : 4;
    if (result == LZH8_OK && size < lengths_at + 2)
        result = LZH8_TRUNCATED;
    if (result != LZH8_OK) {
        why = failure(lzh8_result_text(result));
        return false;
    }
    const std::uint32_t w = ostrel::load_le(bytes + lengths_at, 2);
    const std::size_t offsets_at = ostrel::after_lengths(lengths_at, w);
    if (size <= offsets_at) {
        why = failure(lzh8_result_text(LZH8_TRUNCATED));
        return false;
    }
    const std::uint32_t v = bytes[offsets_at];
    listed.lengths = ostrel::table_entries(ostrel::length_area_bytes(w), ostrel::length_slots,
                                           ostrel::length_entry_bits);
    listed.offsets = ostrel::table_entries(ostrel::offset_area_bytes(v), ostrel::offset_slots,
                                           ostrel::offset_entry_bits);
    listed.declared = declared;
    listed.packed = size;
    return true;
}

void print_listed(const Listed& listed, const std::string& name)
{
    const double ratio = listed.declared > 0 ? static_cast<double>(listed.packed) /
                                                   static_cast<double>(listed.declared)
                                             : 0;
    std::printf("%12llu %12llu %7.3f %8u %8u  %s\n", static_cast<unsigned long long>(listed.packed),
                static_cast<unsigned long long>(listed.declared), ratio, listed.lengths,
                listed.offsets, name.c_str());
}

// ---- One file -----------------------------------------------------------

// Where a file's output goes: a name, or "" for standard output.
bool output_path(const Settings& settings, const char* name, std::string& path, Failure& why)
{
    const bool standard_input = std::strcmp(name, "-") == 0;
    if (settings.output != nullptr) {
        path = std::strcmp(settings.output, "-") == 0 ? "" : settings.output;
        return true;
    }
    if (settings.to_stdout || standard_input) {
        path = "";
        return true;
    }
    const std::string given = name;
    if (settings.mode == Mode::pack) {
        path = given + suffix;
        return true;
    }
    const std::size_t length = given.size(), suffix_length = sizeof suffix - 1;
    const std::size_t base = given.rfind('/') == std::string::npos ? 0 : given.rfind('/') + 1;
    if (length <= base + suffix_length ||
        given.compare(length - suffix_length, suffix_length, suffix) != 0) {
        why = failure("unknown suffix, not .lzh8 (-o or -c says where to write)");
        return false;
    }
    path = given.substr(0, length - suffix_length);
    return true;
}

bool refuse_terminal_input(const Settings& settings, const Input& input, Failure& why)
{
    if (settings.mode != Mode::pack && !settings.force && isatty(input.fd) == 1) {
        why = failure("will not read packed data from a terminal (-f forces it)");
        return true;
    }
    return false;
}

void say_sizes(const std::string& name, std::uint64_t from, std::uint64_t to,
               const std::string& target)
{
    std::fprintf(stderr, "%s: %llu -> %llu bytes (%.1f%%)%s%s\n", name.c_str(),
                 static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                 from > 0 ? 100.0 * static_cast<double>(to) / static_cast<double>(from) : 0.0,
                 target.empty() ? "" : ", ", target.c_str());
}

bool process(const Settings& settings, const char* name, Listed& total)
{
    Input input;
    Output output;
    Failure why;
    std::string path, failed_name;
    bool done = open_input(name, input, why) && !refuse_terminal_input(settings, input, why);
    if (done && settings.mode == Mode::list) {
        std::vector<std::uint8_t> buffer;
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        Listed listed;
        done = whole_input(input, buffer, bytes, size, why) && list_file(bytes, size, listed, why);
        if (done) {
            print_listed(listed, input.name);
            total.packed += listed.packed;
            total.declared += listed.declared;
        }
    } else if (done && settings.mode == Mode::test) {
        Progress progress = start_progress(settings, input.name, 0);
        Decoded decoded;
        done = decode(settings, input, output, progress, decoded, why);
        end_progress(progress);
        if (done && settings.verbose)
            std::fprintf(stderr, "%s: OK\n", input.name.c_str());
    } else if (done) {
        const bool packing = settings.mode == Mode::pack;
        done = output_path(settings, name, path, why);
        if (done && !open_output(settings, path, packing, input, output, why)) {
            done = false;
            failed_name = path.empty() ? "stdout" : path;
        }
        Progress progress = start_progress(settings, input.name, 0);
        std::uint64_t from = 0, to = 0;
        if (done && packing) {
            std::vector<std::uint8_t> buffer;
            const std::uint8_t* bytes = nullptr;
            std::size_t size = 0;
            done = whole_input(input, buffer, bytes, size, why);
            Packing packed = {&output, 0};
            lzh8_result result =
                done ? lzh8_pack_to_with_progress(bytes, size, write_packed, &packed, show_packing,
                                                  &progress, settings.level, settings.threads)
                     : LZH8_OK;
            if (result == LZH8_WRITE_FAILED)
                why = system_failure();
            else if (result != LZH8_OK)
                why = failure(lzh8_result_text(result));
            done = done && result == LZH8_OK;
            from = size;
            to = packed.written;
        } else if (done) {
            Decoded decoded;
            done = decode(settings, input, output, progress, decoded, why);
            from = decoded.packed;
            to = decoded.declared;
        }
        end_progress(progress);
        if (done && !finish_output(output)) {
            done = false;
            why = system_failure();
            failed_name = output.name;
            output.stream = nullptr;  // closed, and any temporary file removed
        }
        if (done && settings.verbose)
            say_sizes(input.name, from, to, path);
        if (done && settings.remove && std::strcmp(name, "-") != 0 && !path.empty() &&
            unlink(name) != 0) {
            done = false;
            why = system_failure();
        }
    }
    if (!done) {
        drop_output(output);
        if (failed_name.empty())
            failed_name = input.name.empty() ? shown_name(name) : input.name;
        report(failed_name, why.reason);
    }
    close_input(input);
    return done;
}

// ---- The command line ---------------------------------------------------

void print_usage(std::FILE* stream)
{
    std::fputs("Usage: lzh8 [-d|-t|-l] [-cfkqv] [-1..-9] [-T N] [-o FILE] [--rm] [--] [file...]\n",
               stream);
}

void print_help()
{
    print_usage(stdout);
    std::printf("Packs each file to FILE.lzh8, or unpacks NAME.lzh8 to NAME with -d. With no\n"
                "file, or -, reads standard input and writes standard output.\n"
                "\n"
                "  -d, --decompress  unpack\n"
                "  -z, --compress    pack (the default)\n"
                "  -t, --test        unpack and discard: say nothing unless a file is damaged\n"
                "  -l, --list        packed and declared sizes, ratio and table entries\n"
                "  -c, --stdout      write to standard output\n"
                "  -o, --output=FILE write the one file's output to FILE\n"
                "  -k, --keep        keep the originals (the default)\n"
                "      --rm          remove each original once its output is complete\n"
                "  -f, --force       replace existing outputs; read or write packed data\n"
                "                    from or to a terminal\n"
                "  -1 ... -9         faster ... smaller (default -%d)\n"
                "  -T, --threads=N   use at most N threads (default 0: every core)\n"
                "  -v, --verbose     a line per file: name, sizes, ratio\n"
                "  -q, --quiet       nothing but errors, no progress\n"
                "  -h, --help        show this help and exit\n"
                "  -V, --version     show the version and exit\n"
                "\n"
                "Exit status: 0 when every file was done, 1 when any failed.\n",
                LZH8_DEFAULT_LEVEL);
}

[[noreturn]] void usage_error(const std::string& message)
{
    std::fprintf(stderr, "lzh8: %s\n", message.c_str());
    print_usage(stderr);
    std::exit(1);
}

unsigned parse_threads(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value > 65536 || text[0] == '-')
        usage_error("bad thread count " + printable(text));
    return static_cast<unsigned>(value);
}

int end_after_printing()
{
    return std::fclose(stdout) == 0 ? 0 : (report("stdout", std::strerror(errno)), 1);
}

enum LongOnly { remove_option = 256 };

Settings parse(int argc, char** argv, std::vector<const char*>& names)
{
    static const option options[] = {
        {"decompress", no_argument, nullptr, 'd'},    {"uncompress", no_argument, nullptr, 'd'},
        {"compress", no_argument, nullptr, 'z'},      {"test", no_argument, nullptr, 't'},
        {"list", no_argument, nullptr, 'l'},          {"stdout", no_argument, nullptr, 'c'},
        {"output", required_argument, nullptr, 'o'},  {"keep", no_argument, nullptr, 'k'},
        {"rm", no_argument, nullptr, remove_option},  {"force", no_argument, nullptr, 'f'},
        {"threads", required_argument, nullptr, 'T'}, {"verbose", no_argument, nullptr, 'v'},
        {"quiet", no_argument, nullptr, 'q'},         {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
    Settings settings;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "123456789cdfhklo:qtT:vVz", options, nullptr)) != -1) {
        switch (option) {
        case 'd': settings.mode = Mode::unpack; break;
        case 'z': settings.mode = Mode::pack; break;
        case 't': settings.mode = Mode::test; break;
        case 'l': settings.mode = Mode::list; break;
        case 'c': settings.to_stdout = true; break;
        case 'o': settings.output = optarg; break;
        case 'k': settings.remove = false; break;
        case remove_option: settings.remove = true; break;
        case 'f': settings.force = true; break;
        case 'T': settings.threads = parse_threads(optarg); break;
        case 'v': settings.verbose = true, settings.quiet = false; break;
        case 'q': settings.quiet = true, settings.verbose = false; break;
        case 'h': print_help(); std::exit(end_after_printing());
        case 'V': std::printf("lzh8 %s\n", lzh8_version()); std::exit(end_after_printing());
        case '?':
            if (optopt == 0)
                usage_error("unknown option " + printable(argv[optind - 1]));
            if (std::strchr("oT", optopt) != nullptr)
                usage_error(std::string("option -") + static_cast<char>(optopt) + " needs a value");
            usage_error(std::string("unknown option -") + static_cast<char>(optopt));
        default: settings.level = option - '0'; break;
        }
    }
    for (int a = optind; a < argc; a++)
        names.push_back(argv[a]);
    if (names.empty())
        names.push_back("-");
    if (settings.output != nullptr && names.size() > 1)
        usage_error("-o names the output of one file, not " + std::to_string(names.size()));
    return settings;
}

}  // namespace

int main(int argc, char** argv)
{
    guard_standard_descriptors();
    std::vector<const char*> names;
    const Settings settings = parse(argc, argv, names);
    if (settings.mode == Mode::list)
        std::printf("%12s %12s %7s %8s %8s  %s\n", "packed", "declared", "ratio", "lengths",
                    "offsets", "name");
    Listed total;
    unsigned listed = 0;
    bool all_done = true;
    for (const char* name : names) {
        const bool done = process(settings, name, total);
        all_done = all_done && done;
        listed += done;
    }
    if (settings.mode == Mode::list && names.size() > 1) {
        total.lengths = total.offsets = 0;
        const double ratio = total.declared > 0 ? static_cast<double>(total.packed) /
                                                      static_cast<double>(total.declared)
                                                : 0;
        std::printf("%12llu %12llu %7.3f %8s %8s  (%u files)\n",
                    static_cast<unsigned long long>(total.packed),
                    static_cast<unsigned long long>(total.declared), ratio, "", "", listed);
    }
    if (std::fflush(stdout) != 0) {
        report("stdout", std::strerror(errno));
        return 1;
    }
    return all_done ? 0 : 1;
}
