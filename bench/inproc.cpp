// In-process speed of libostrel beside libdeflate, on the same content.
//
// Decoding: each corpus file packed by lzh8_pack at its default level and
// by libdeflate at its own (6, raw deflate, so that neither side checks a
// sum), decoded from memory into a buffer allocated once; then every file
// cut into pieces of 64 KiB and of 4 KiB, each piece packed and decoded on
// its own, which weighs what each call costs before its first byte.
// Packing: lzh8_pack at levels 1, 6 and 9 (on one thread, and on all)
// beside libdeflate at 1, 6 and 12.
//
// Each round times every file with each side in turn, the side that goes
// first alternating by round; a time is the median of the rounds, and
// MB/s count the plain bytes. Usage: inproc CORPUS_DIR [ROUNDS]; with
// --per-call CORPUS_DIR PIECE, the time of one lzh8_decode call on the
// corpus cut into pieces (see bench/python_bench.py); with --count
// CORPUS_DIR, each side's decoding once, for callgrind (bench/count.sh);
// with --threads CORPUS_DIR [ROUNDS], the threads section alone: on the
// corpus's files of 2 MB and more and on all of it joined, the machine's
// ceiling beside lzh8_decode_parallel's speed-up; with --stream
// CORPUS_DIR [ROUNDS], the stream decoder beside lzh8_decode.
#include <ostrel/lzh8.h>

#include <libdeflate.h>

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct File {
    std::string name;
    Bytes plain;
};

std::vector<File> read_corpus(const std::string& directory)
{
    std::vector<File> files;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        std::perror(directory.c_str());
        std::exit(1);
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(directory + "/" + entry->d_name, std::ios::binary);
        files.push_back({entry->d_name, Bytes(std::istreambuf_iterator<char>(in), {})});
    }
    closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return a.name < b.name; });
    return files;
}

double seconds_of(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "inproc: %s\n", what.c_str());
    std::exit(1);
}

// One file's content packed both ways, whole or in pieces.
struct Packed {
    std::vector<Bytes> lzh8, deflate;
    std::vector<std::size_t> sizes;  // of each piece's plain bytes
};

Packed pack_pieces(const Bytes& plain, std::size_t piece, libdeflate_compressor* compressor)
{
    Packed packed;
    for (std::size_t at = 0; at < plain.size() || (at == 0 && plain.empty()); at += piece) {
        std::size_t size = std::min(piece, plain.size() - at);
        Bytes lzh8(lzh8_pack_bound(size));
        std::size_t lzh8_size = 0;
        if (lzh8_pack(plain.data() + at, size, lzh8.data(), lzh8.size(), &lzh8_size, 6, 0) !=
            LZH8_OK)
            fail("lzh8_pack failed");
        lzh8.resize(lzh8_size);
        Bytes deflate(libdeflate_deflate_compress_bound(compressor, size));
        deflate.resize(libdeflate_deflate_compress(compressor, plain.data() + at, size,
                                                   deflate.data(), deflate.size()));
        packed.lzh8.push_back(std::move(lzh8));
        packed.deflate.push_back(std::move(deflate));
        packed.sizes.push_back(size);
        if (plain.empty())
            break;
    }
    return packed;
}

// Decodes every piece into out, enough times to take a measurable while;
// returns the seconds of one pass.
double decode_lzh8(const Packed& packed, Bytes& out, unsigned passes)
{
    return seconds_of([&] {
               for (unsigned pass = 0; pass < passes; pass++)
                   for (std::size_t p = 0; p < packed.lzh8.size(); p++) {
                       std::size_t size = 0;
                       if (lzh8_decode(packed.lzh8[p].data(), packed.lzh8[p].size(), out.data(),
                                       out.size(), &size) != LZH8_OK ||
                           size != packed.sizes[p])
                           fail("lzh8_decode failed");
                   }
           }) /
           passes;
}

double decode_deflate(const Packed& packed, Bytes& out, libdeflate_decompressor* decompressor,
                      unsigned passes)
{
    return seconds_of([&] {
               for (unsigned pass = 0; pass < passes; pass++)
                   for (std::size_t p = 0; p < packed.deflate.size(); p++) {
                       std::size_t size = 0;
                       if (libdeflate_deflate_decompress(decompressor, packed.deflate[p].data(),
                                                         packed.deflate[p].size(), out.data(),
                                                         out.size(), &size) != LIBDEFLATE_SUCCESS ||
                           size != packed.sizes[p])
                           fail("libdeflate_deflate_decompress failed");
                   }
           }) /
           passes;
}

double megabytes_per_second(std::size_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

void decoding_table(const std::vector<File>& files, std::size_t piece, const char* title,
                    unsigned rounds)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::size_t largest = 1;
    for (const File& file : files)
        largest = std::max(largest, file.plain.size());
    Bytes out(largest);
    std::fill(out.begin(), out.end(), 1);  // touched once, before any timing

    std::printf("\n%s\n%-18s %10s %10s %10s %10s %10s %8s\n", title, "file", "bytes", "lzh8 size",
                "defl size", "lzh8 MB/s", "defl MB/s", "ratio");
    double lzh8_total = 0, deflate_total = 0;
    std::size_t bytes_total = 0, lzh8_size_total = 0, deflate_size_total = 0;
    double worst = 1e9;
    for (const File& file : files) {
        Packed packed = pack_pieces(file.plain, piece, compressor);
        // About 30 ms of decoding per measurement, judged by a first pass.
        double once = decode_lzh8(packed, out, 1);
        unsigned passes = static_cast<unsigned>(std::clamp(0.03 / std::max(once, 1e-7), 1.0, 1e5));
        std::vector<double> lzh8_times, deflate_times;
        for (unsigned round = 0; round < rounds; round++) {
            if (round % 2 == 0) {
                lzh8_times.push_back(decode_lzh8(packed, out, passes));
                deflate_times.push_back(decode_deflate(packed, out, decompressor, passes));
            } else {
                deflate_times.push_back(decode_deflate(packed, out, decompressor, passes));
                lzh8_times.push_back(decode_lzh8(packed, out, passes));
            }
        }
        double lzh8_time = median(lzh8_times), deflate_time = median(deflate_times);
        std::size_t lzh8_size = 0, deflate_size = 0;
        for (std::size_t p = 0; p < packed.lzh8.size(); p++) {
            lzh8_size += packed.lzh8[p].size();
            deflate_size += packed.deflate[p].size();
        }
        double ratio = deflate_time / lzh8_time;
        worst = std::min(worst, ratio);
        std::printf("%-18s %10zu %10zu %10zu %10.1f %10.1f %8.3f\n", file.name.c_str(),
                    file.plain.size(), lzh8_size, deflate_size,
                    megabytes_per_second(file.plain.size(), lzh8_time),
                    megabytes_per_second(file.plain.size(), deflate_time), ratio);
        lzh8_total += lzh8_time;
        deflate_total += deflate_time;
        bytes_total += file.plain.size();
        lzh8_size_total += lzh8_size;
        deflate_size_total += deflate_size;
    }
    std::printf("%-18s %10zu %10zu %10zu %10.1f %10.1f %8.3f\n", "total", bytes_total,
                lzh8_size_total, deflate_size_total, megabytes_per_second(bytes_total, lzh8_total),
                megabytes_per_second(bytes_total, deflate_total), deflate_total / lzh8_total);
    std::printf("(ratio: lzh8_decode's MB/s over libdeflate's; lowest file %.3f)\n", worst);
    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
}

void packing_table(const std::vector<File>& files, unsigned rounds)
{
    std::size_t bytes_total = 0;
    for (const File& file : files)
        bytes_total += file.plain.size();
    struct Packer {
        std::string name;
        std::function<std::size_t(const Bytes&, Bytes&)> pack;
    };
    std::vector<Packer> packers;
    for (int level : {1, 6, 9})
        for (unsigned threads : {1u, 0u})
            packers.push_back(
                {"lzh8 -" + std::to_string(level) + (threads == 1 ? " one thread" : " all cores"),
                 [level, threads](const Bytes& plain, Bytes& out) {
                     std::size_t size = 0;
                     if (lzh8_pack(plain.data(), plain.size(), out.data(), out.size(), &size, level,
                                   threads) != LZH8_OK)
                         fail("lzh8_pack failed");
                     return size;
                 }});
    for (int level : {1, 6, 12})
        packers.push_back(
            {"libdeflate -" + std::to_string(level), [level](const Bytes& plain, Bytes& out) {
                 libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
                 std::size_t size = libdeflate_deflate_compress(
                     compressor, plain.data(), plain.size(), out.data(), out.size());
                 libdeflate_free_compressor(compressor);
                 return size;
             }});
    std::size_t largest = 1;
    for (const File& file : files)
        largest = std::max(largest, file.plain.size());
    Bytes out(lzh8_pack_bound(largest) + largest / 8 + 4096);
    std::fill(out.begin(), out.end(), 1);
    std::vector<std::vector<double>> times(packers.size());
    std::vector<std::size_t> sizes(packers.size(), 0);
    for (unsigned round = 0; round < rounds; round++)
        for (std::size_t i = 0; i < packers.size(); i++) {
            std::size_t p = round % 2 == 0 ? i : packers.size() - 1 - i;
            std::size_t size = 0;
            times[p].push_back(seconds_of([&] {
                for (const File& file : files)
                    size += packers[p].pack(file.plain, out);
            }));
            sizes[p] = size;
        }
    std::printf("\nPacking the corpus in process\n%-24s %12s %8s %10s\n", "packer", "bytes",
                "ratio", "MB/s");
    for (std::size_t p = 0; p < packers.size(); p++)
        std::printf("%-24s %12zu %8.4f %10.1f\n", packers[p].name.c_str(), sizes[p],
                    static_cast<double>(sizes[p]) / static_cast<double>(bytes_total),
                    megabytes_per_second(bytes_total, median(times[p])));
}

// The nanoseconds of one lzh8_decode call on pieces of piece bytes of the
// corpus, median of the rounds: the C figure that the Python module's
// benchmark sets its own calls against.
void time_calls(const std::vector<File>& files, std::size_t piece, unsigned rounds)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    Packed all;
    for (const File& file : files) {
        Packed packed = pack_pieces(file.plain, piece, compressor);
        all.lzh8.insert(all.lzh8.end(), packed.lzh8.begin(), packed.lzh8.end());
        all.sizes.insert(all.sizes.end(), packed.sizes.begin(), packed.sizes.end());
    }
    Bytes out(piece);
    std::vector<double> times;
    for (unsigned round = 0; round < rounds; round++)
        times.push_back(decode_lzh8(all, out, 1));
    std::printf("%.1f ns per call over %zu pieces\n",
                median(times) / static_cast<double>(all.lzh8.size()) * 1e9, all.lzh8.size());
    libdeflate_free_compressor(compressor);
}

// Instructions, not seconds: each side decodes the corpus once, whole, in
// pieces of 64 KiB and of 4 KiB, each set in a function of its own whose
// name tells callgrind where to count (bench/count.sh runs this under
// callgrind with --collect-atstart=no and --toggle-collect for each, so
// that packing and reading the corpus are not counted).
struct CountedSet {
    Packed packed;
    Bytes out;
};

#define COUNTED_DECODING(side, piece)                                                              \
    __attribute__((noinline)) void count_##side##_##piece(CountedSet& set,                         \
                                                          libdeflate_decompressor* decompressor)   \
    {                                                                                              \
        (void)decompressor;                                                                        \
        if (#side[0] == 'l')                                                                       \
            decode_lzh8(set.packed, set.out, 1);                                                   \
        else                                                                                       \
            decode_deflate(set.packed, set.out, decompressor, 1);                                  \
    }
COUNTED_DECODING(lzh8, whole)
COUNTED_DECODING(deflate, whole)
COUNTED_DECODING(lzh8, 64k)
COUNTED_DECODING(deflate, 64k)
COUNTED_DECODING(lzh8, 4k)
COUNTED_DECODING(deflate, 4k)
#undef COUNTED_DECODING

void count_instructions(const std::vector<File>& files)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    using Count = void (*)(CountedSet&, libdeflate_decompressor*);
    const struct {
        std::size_t piece;
        Count lzh8, deflate;
    } sets[] = {{SIZE_MAX, count_lzh8_whole, count_deflate_whole},
                {64 << 10, count_lzh8_64k, count_deflate_64k},
                {4 << 10, count_lzh8_4k, count_deflate_4k}};
    for (const auto& set : sets)
        for (const File& file : files) {
            CountedSet counted = {pack_pieces(file.plain, set.piece, compressor),
                                  Bytes(std::max<std::size_t>(file.plain.size(), 1))};
            set.lzh8(counted, decompressor);
            set.deflate(counted, decompressor);
        }
    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
}

// One lzh8_decode_parallel call on threads threads (0 for all), or with
// threads of 1, lzh8_decode.
double decode_once(const Bytes& packed, Bytes& out, unsigned threads)
{
    return seconds_of([&] {
        std::size_t size = 0;
        lzh8_result result =
            threads == 1 ? lzh8_decode(packed.data(), packed.size(), out.data(), out.size(), &size)
                         : lzh8_decode_parallel(packed.data(), packed.size(), out.data(),
                                                out.size(), &size, nullptr, threads);
        if (result != LZH8_OK || size != out.size())
            fail("decoding failed");
    });
}

// The machine's ceiling for cores threads now: cores independent
// lzh8_decode calls at once, each on a copy of its own, against one call
// alone; and lzh8_decode_parallel on every core against lzh8_decode. Each
// round runs the three in turn, the first rotating; medians.
void threads_table(const std::vector<File>& files, unsigned rounds)
{
    cpu_set_t allowed;
    const unsigned cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                               ? static_cast<unsigned>(CPU_COUNT(&allowed))
                               : 1u;
    std::vector<File> large;
    File joined = {"(all joined)", {}};
    for (const File& file : files) {
        joined.plain.insert(joined.plain.end(), file.plain.begin(), file.plain.end());
        if (file.plain.size() >= (2 << 20))
            large.push_back(file);
    }
    large.push_back(joined);
    std::printf("\nDecoding on %u cores (lzh8 -6): the machine's ceiling (%u lzh8_decode calls "
                "at once over one)\nbeside lzh8_decode_parallel's speed-up over lzh8_decode\n"
                "%-18s %10s %10s %10s %10s %10s\n",
                cores, cores, "file", "bytes", "one MB/s", "ceiling", "speed-up", "of ceiling");
    for (const File& file : large) {
        Bytes packed(lzh8_pack_bound(file.plain.size()));
        std::size_t packed_size = 0;
        if (lzh8_pack(file.plain.data(), file.plain.size(), packed.data(), packed.size(),
                      &packed_size, 6, 0) != LZH8_OK)
            fail("lzh8_pack failed");
        packed.resize(packed_size);
        std::vector<Bytes> copies(cores, packed), outs(cores, Bytes(file.plain.size(), 1));
        std::vector<double> one, at_once, parallel;
        auto run_at_once = [&] {
            return seconds_of([&] {
                std::vector<std::thread> threads;
                for (unsigned c = 0; c < cores; c++)
                    threads.emplace_back([&, c] { decode_once(copies[c], outs[c], 1); });
                for (std::thread& thread : threads)
                    thread.join();
            });
        };
        for (unsigned round = 0; round < rounds; round++)
            for (unsigned turn = 0; turn < 3; turn++)
                switch ((round + turn) % 3) {
                case 0: one.push_back(decode_once(packed, outs[0], 1)); break;
                case 1: at_once.push_back(run_at_once()); break;
                default: parallel.push_back(decode_once(packed, outs[0], 0)); break;
                }
        if (outs[0] != file.plain)
            fail("lzh8_decode_parallel made other bytes");
        const double ceiling = cores * median(one) / median(at_once);
        const double speed_up = median(one) / median(parallel);
        std::printf("%-18s %10zu %10.1f %10.2f %10.2f %10.2f\n", file.name.c_str(),
                    file.plain.size(), megabytes_per_second(file.plain.size(), median(one)),
                    ceiling, speed_up, speed_up / ceiling);
    }
}

// The stream decoder fed pieces of 64 KiB of a whole file and drained
// into a buffer of 64 KiB, as a program that reads a pipe and writes
// another does; returns the seconds of one pass.
double decode_stream(const Bytes& packed, std::size_t size, lzh8_decoder* decoder, unsigned passes)
{
    const std::size_t piece = 64 << 10;
    static std::uint8_t room[64 << 10];
    return seconds_of([&] {
               for (unsigned pass = 0; pass < passes; pass++) {
                   lzh8_decoder_reset(decoder);
                   lzh8_result result = LZH8_MORE;
                   std::size_t at = 0, made_total = 0, used = 0, made = 0;
                   while (result == LZH8_MORE && at < packed.size()) {
                       result = lzh8_decoder_decode(decoder, packed.data() + at,
                                                    std::min(piece, packed.size() - at), &used,
                                                    room, sizeof room, &made);
                       at += used;
                       made_total += made;
                   }
                   while (result == LZH8_MORE) {
                       result = lzh8_decoder_end(decoder, room, sizeof room, &made, nullptr);
                       made_total += made;
                   }
                   if (result != LZH8_OK || made_total != size)
                       fail("the stream decoder failed");
               }
           }) /
           passes;
}

// lzh8_decode on whole files beside the stream decoder in pieces of 64
// KiB, alternating; medians.
void stream_table(const std::vector<File>& files, unsigned rounds)
{
    lzh8_decoder* decoder = lzh8_decoder_new();
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    std::printf("\nThe stream decoder, fed and drained 64 KiB at a time, beside lzh8_decode\n"
                "%-18s %10s %12s %12s %8s\n",
                "file", "bytes", "whole MB/s", "stream MB/s", "ratio");
    double whole_total = 0, stream_total = 0;
    std::size_t bytes_total = 0;
    for (const File& file : files) {
        Packed packed = pack_pieces(file.plain, SIZE_MAX, compressor);
        Bytes out(std::max<std::size_t>(file.plain.size(), 1));
        double once = decode_lzh8(packed, out, 1);
        unsigned passes = static_cast<unsigned>(std::clamp(0.03 / std::max(once, 1e-7), 1.0, 1e5));
        std::vector<double> whole_times, stream_times;
        for (unsigned round = 0; round < rounds; round++) {
            double whole = 0, stream = 0;
            if (round % 2 == 0)
                whole = decode_lzh8(packed, out, passes);
            stream = decode_stream(packed.lzh8[0], file.plain.size(), decoder, passes);
            if (round % 2 != 0)
                whole = decode_lzh8(packed, out, passes);
            whole_times.push_back(whole);
            stream_times.push_back(stream);
        }
        double whole = median(whole_times), stream = median(stream_times);
        std::printf("%-18s %10zu %12.1f %12.1f %8.3f\n", file.name.c_str(), file.plain.size(),
                    megabytes_per_second(file.plain.size(), whole),
                    megabytes_per_second(file.plain.size(), stream), whole / stream);
        whole_total += whole;
        stream_total += stream;
        bytes_total += file.plain.size();
    }
    std::printf("%-18s %10zu %12.1f %12.1f %8.3f\n", "total", bytes_total,
                megabytes_per_second(bytes_total, whole_total),
                megabytes_per_second(bytes_total, stream_total), whole_total / stream_total);
    std::printf("(ratio: the stream decoder's MB/s over lzh8_decode's)\n");
    libdeflate_free_compressor(compressor);
    lzh8_decoder_free(decoder);
}

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--per-call") == 0) {
        time_calls(read_corpus(argv[2]), std::strtoul(argv[3], nullptr, 10), 9);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--count") == 0) {
        count_instructions(read_corpus(argv[2]));
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--threads") == 0) {
        std::printf("CPU: %s; libostrel %s\n", cpu_model().c_str(), lzh8_version());
        threads_table(read_corpus(argv[2]),
                      argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 7);
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--stream") == 0) {
        std::printf("CPU: %s; libostrel %s\n", cpu_model().c_str(), lzh8_version());
        stream_table(read_corpus(argv[2]),
                     argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 7);
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr,
                     "usage: %s CORPUS_DIR [ROUNDS]\n       %s --per-call CORPUS_DIR PIECE\n"
                     "       %s --count CORPUS_DIR (under callgrind: bench/count.sh)\n"
                     "       %s --threads CORPUS_DIR [ROUNDS] (the threads section alone)\n"
                     "       %s --stream CORPUS_DIR [ROUNDS] (the stream section alone)\n",
                     argv[0], argv[0], argv[0], argv[0], argv[0]);
        return 2;
    }
    unsigned rounds = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : 7;
    std::vector<File> files = read_corpus(argv[1]);
    std::printf("CPU: %s; libostrel %s, libdeflate %s; %u rounds, medians\n", cpu_model().c_str(),
                lzh8_version(), LIBDEFLATE_VERSION_STRING, rounds);
    decoding_table(files, SIZE_MAX, "Decoding whole files (lzh8 -6, libdeflate -6)", rounds);
    decoding_table(files, 64 << 10, "Decoding pieces of 64 KiB, each packed on its own", rounds);
    decoding_table(files, 4 << 10, "Decoding pieces of 4 KiB, each packed on its own", rounds);
    threads_table(files, rounds);
    stream_table(files, rounds);
    packing_table(files, std::max(1u, rounds / 2));
    return 0;
}
