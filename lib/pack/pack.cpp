// lzh8_pack, lzh8_pack_to and lzh8_pack_to_with_progress: every stage in turn, with failures made
// result codes.
#include "pack.h"

#include <ostrel/lzh8.h>

namespace ostrel::pack {

// Checks what both calls take alike, then packs into sink.
static lzh8_result pack_into(const void* in, std::size_t in_size, Sink& sink, int level,
                             unsigned threads, const Progress& progress = {})
{
    if ((in == nullptr && in_size != 0) || level < 0 || level > 9)
        return LZH8_BAD_ARGUMENT;
    if (in_size > largest_size)
        return LZH8_INPUT_TOO_LARGE;
    const Input data = {static_cast<const std::uint8_t*>(in), in_size};
    try {
        Parse parse = parse_input(
            data, level_settings(static_cast<unsigned>(level == 0 ? LZH8_DEFAULT_LEVEL : level)),
            threads, progress);
        if (progress.report != nullptr)
            progress.report(progress.context, in_size, in_size);
        Tables tables = build_tables(data, parse);
        store_plain_where_it_pays(data, parse, tables);
        write_lzh8(data, parse, tables, sink, threads);
        return LZH8_OK;
    } catch (...) {
        // Nothing in the stages throws but what allocates: std::bad_alloc,
        // or std::length_error for a vector beyond what memory can hold.
        return LZH8_NO_MEMORY;
    }
}

}  // namespace ostrel::pack

size_t lzh8_pack_bound(size_t in_size)
{
    // Input that does not compress is stored, its stream as long as
    // itself (see store_plain_where_it_pays); anything else is shorter.
    const size_t overhead = ostrel::pack::largest_header_and_tables;
    return in_size > SIZE_MAX - overhead ? SIZE_MAX : in_size + overhead;
}

lzh8_result lzh8_pack(const void* in, size_t in_size, void* out, size_t out_capacity,
                      size_t* out_size, int level, unsigned threads)
{
    if (out_size == nullptr)
        return LZH8_BAD_ARGUMENT;
    *out_size = 0;
    if (out == nullptr && out_capacity != 0)
        return LZH8_BAD_ARGUMENT;
    ostrel::pack::Sink sink;
    sink.out = static_cast<std::uint8_t*>(out);
    sink.capacity = out_capacity;
    lzh8_result result = ostrel::pack::pack_into(in, in_size, sink, level, threads);
    if (result == LZH8_OK && sink.length > out_capacity)
        return LZH8_OUTPUT_TOO_SMALL;
    if (result == LZH8_OK)
        *out_size = sink.length;
    return result;
}

lzh8_result lzh8_pack_to(const void* in, size_t in_size, lzh8_write_function write, void* context,
                         int level, unsigned threads)
{
    return lzh8_pack_to_with_progress(in, in_size, write, context, nullptr, nullptr, level,
                                      threads);
}

lzh8_result lzh8_pack_to_with_progress(const void* in, size_t in_size, lzh8_write_function write,
                                       void* context, lzh8_progress_function progress,
                                       void* progress_context, int level, unsigned threads)
{
    if (write == nullptr)
        return LZH8_BAD_ARGUMENT;
    ostrel::pack::Sink sink;
    sink.write = write;
    sink.context = context;
    lzh8_result result =
        ostrel::pack::pack_into(in, in_size, sink, level, threads, {progress, progress_context});
    return result == LZH8_OK && sink.failed ? LZH8_WRITE_FAILED : result;
}
