// Coverage-guided fuzzing of analyze_LZH8, in process, under AddressSanitizer
// and UndefinedBehaviorSanitizer.
//
// Every failure ends the process through exit(). The fuzzer links with
// --wrap=exit, so an exit during decoding comes back here through longjmp;
// the decoder's blocks, which a failing run leaves behind by design, are
// tracked (tracked_alloc.h) and released. The input is a real file (a
// memfd), so seeking past its end behaves as it does on disk. A run that
// succeeds must have written exactly the declared number of bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

void analyze_LZH8(std::FILE* input, std::FILE* output);

namespace {

std::jmp_buf decode_exit;
bool decoding = false;
std::vector<void*> live_blocks;

// Declared sizes above this are skipped: memory for them is only reserved,
// never touched, and the suite tests such files directly.
const std::uint32_t largest_declared = 1 << 17;

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (decoding) {
        decoding = false;
        std::longjmp(decode_exit, 1);
    }
    __real_exit(status);
}

void* fuzz_tracked_malloc(std::size_t size)
{
    void* block = std::malloc(size);
    if (block != nullptr)
        live_blocks.push_back(block);
    return block;
}

void fuzz_tracked_free(void* block)
{
    live_blocks.erase(std::find(live_blocks.begin(), live_blocks.end(), block));
    std::free(block);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t declared = 0;
    if (size >= 4)
        declared =
            std::uint32_t{data[1]} | std::uint32_t{data[2]} << 8 | std::uint32_t{data[3]} << 16;
    if (size >= 8 && declared == 0)
        declared = std::uint32_t{data[4]} | std::uint32_t{data[5]} << 8 |
                   std::uint32_t{data[6]} << 16 | std::uint32_t{data[7]} << 24;
    if (declared > largest_declared)
        return 0;

    int fd = memfd_create("lzh8", 0);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    std::FILE* input = fdopen(fd, "rb");
    char* written = nullptr;
    std::size_t written_size = 0;
    std::FILE* output = open_memstream(&written, &written_size);

    bool failed = false;
    if (setjmp(decode_exit) == 0) {
        decoding = true;
        analyze_LZH8(input, output);
        decoding = false;
    } else {
        failed = true;
    }
    std::fclose(output);
    if (!failed && written_size != declared)
        __builtin_trap();  // success with the wrong number of bytes
    std::free(written);
    std::fclose(input);
    for (void* block : live_blocks)
        std::free(block);
    live_blocks.clear();
    return 0;
}
