/*
 * libostrel: LZH8 decoding and packing in memory.
 *
 * An LZH8 file holds one file's bytes as LZ77 literals and back-references
 * of up to 64 KiB, coded with one pair of Huffman codes for the whole file,
 * whose trees it carries as packed tables. Its header declares the decoded
 * size, at most 2^32 - 1 bytes.
 *
 * Every call works on caller-owned buffers and returns a result code. No
 * call prints, ends the process, raises or catches a signal, or keeps
 * state between calls: any number of calls may run at once on different
 * threads. Running out of memory returns LZH8_NO_MEMORY.
 */
#ifndef OSTREL_LZH8_H
#define OSTREL_LZH8_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header, at compile time; lzh8_version() gives the
 * library's own at run time. LZH8_VERSION_NUMBER is 100 * (100 * major +
 * minor) + patch, for #if. */
#define LZH8_VERSION_MAJOR 0
#define LZH8_VERSION_MINOR 9
#define LZH8_VERSION_PATCH 0
#define LZH8_VERSION_NUMBER                                                                        \
    (LZH8_VERSION_MAJOR * 10000 + LZH8_VERSION_MINOR * 100 + LZH8_VERSION_PATCH)
#define LZH8_STRINGIFY_(x) #x
#define LZH8_STRINGIFY(x) LZH8_STRINGIFY_(x)
#define LZH8_VERSION_STRING                                                                        \
    LZH8_STRINGIFY(LZH8_VERSION_MAJOR)                                                             \
    "." LZH8_STRINGIFY(LZH8_VERSION_MINOR) "." LZH8_STRINGIFY(LZH8_VERSION_PATCH)

/* The level that lzh8_pack takes for level 0, and that lzh8pack and the
 * Python module use unless told otherwise: between speed and size. */
#define LZH8_DEFAULT_LEVEL 6

#if defined(__GNUC__)
#define LZH8_API __attribute__((visibility("default")))
#else
#define LZH8_API
#endif

typedef enum lzh8_result {
    LZH8_OK = 0,
    LZH8_NOT_LZH8 = 1,            /* first byte is not 0x40 */
    LZH8_TRUNCATED = 2,           /* the input ends before decoding does */
    LZH8_CORRUPT_LENGTH_TREE = 3, /* a length code leads outside its table */
    LZH8_CORRUPT_OFFSET_TREE = 4, /* an offset code leads outside its table */
    LZH8_MATCH_BEFORE_START = 5,  /* a match reaches back before the output's start */
    LZH8_OUTPUT_TOO_SMALL = 6,    /* out_capacity is below what the call needs */
    LZH8_INPUT_TOO_LARGE = 7,     /* packing more than 2^32 - 1 bytes */
    LZH8_BAD_ARGUMENT = 8,        /* a level outside 0..9, a null pointer with a nonzero size */
    LZH8_NO_MEMORY = 9,
    LZH8_WRITE_FAILED = 10, /* lzh8_pack_to's write function refused the bytes */
    LZH8_MORE = 11          /* a stream decoder's file is not done: not a failure */
} lzh8_result;

/* The result in words, never null: those of ostrel's own reports, such as
 * "corrupt length tree" or "unexpected EOF". */
LZH8_API const char* lzh8_result_text(lzh8_result result);

/* The library's version, such as "0.9.0": LZH8_VERSION_STRING of the
 * header it was built with. */
LZH8_API const char* lzh8_version(void);

/* The decoded size that the header declares, from its 4 or 8 bytes alone.
 * LZH8_TRUNCATED when in_size is too short for the header, LZH8_NOT_LZH8
 * when the first byte is not 0x40; *size is then 0. */
LZH8_API lzh8_result lzh8_decoded_size(const void* in, size_t in_size, size_t* size);

/* Decodes in[0..in_size) into out, on the calling thread (it starts no
 * thread), which receives exactly the declared size; *out_size is set to
 * it. in and out must not overlap: the decoder
 * reads the input while it writes the output. in is never read past
 * in_size and out never written past the smaller of out_capacity and the
 * declared size;
 * bytes after the last one that decoding needs are never read, so the
 * input may carry trailing data.
 *
 * With out_capacity below the declared size, returns LZH8_OUTPUT_TOO_SMALL
 * at once, with *out_size set to the declared size, so that a caller can
 * allocate and call again. On any other failure *out_size is 0, and out
 * may hold part of the output. */
LZH8_API lzh8_result lzh8_decode(const void* in, size_t in_size, void* out, size_t out_capacity,
                                 size_t* out_size);

/* What a caller that reads the file itself needs to tell where decoding
 * stopped: for LZH8_TRUNCATED, the offset of the read that came up short
 * and its width, read from that offset on in one piece: 4 for a word of
 * the header, 2 for the length table's count, 1 for any byte after. A
 * reader that takes the file that way meets the end at that very read. */
typedef struct lzh8_details {
    size_t short_read_offset;
    unsigned short_read_width;
} lzh8_details;

/* lzh8_decode, filling in *details (which may be null) for
 * LZH8_TRUNCATED; for any other result the details are 0. */
LZH8_API lzh8_result lzh8_decode_detailed(const void* in, size_t in_size, void* out,
                                          size_t out_capacity, size_t* out_size,
                                          lzh8_details* details);

/* lzh8_decode_detailed on several threads: the stream is cut into lanes
 * that are decoded at once and joined where their symbols meet (a stream
 * has one pair of codes, so a decoder started anywhere falls into step
 * with the true one), then written into out in order. The same bytes,
 * result, *out_size and details as lzh8_decode_detailed for every input,
 * damaged ones included. threads: 0 for every core the process may run
 * on, 1 for the calling thread only (no thread is started), n for at most
 * n. A file whose image is under 1 MiB, or a stored one, is decoded on the
 * calling thread. Memory beyond in and out: about 2 MiB a thread, freed
 * before it returns; without it, decodes on the calling thread. Unlike
 * lzh8_decode it may read up to a few MiB of input past the stream's
 * end, though never past in_size. */
LZH8_API lzh8_result lzh8_decode_parallel(const void* in, size_t in_size, void* out,
                                          size_t out_capacity, size_t* out_size,
                                          lzh8_details* details, unsigned threads);

/* The most bytes that in_size bytes of LZH8 file can decode to: every
 * code takes a bit or more, and a match of two codes makes at most 258
 * bytes. A file that declares more can only fail to decode, so a caller
 * that allocates the declared size may refuse it first, or decode it
 * through a stream decoder to learn its failure. */
LZH8_API size_t lzh8_reachable_size(size_t in_size);

/* A stream decoder decodes one LZH8 file fed in pieces of any size into
 * output pieces of any size, in memory of a fixed size (under 320 KiB)
 * allocated when it is made, whatever the file's size. However the file
 * is cut, it gives the same bytes, result and details as
 * lzh8_decode_detailed on the whole.
 *
 *     lzh8_decoder* d = lzh8_decoder_new();
 *     unsigned char in[65536], out[65536];
 *     size_t got, used, made;
 *     lzh8_result r = LZH8_MORE;
 *     while (r == LZH8_MORE && (got = fread(in, 1, sizeof in, file)) > 0)
 *         for (unsigned char* at = in; r == LZH8_MORE && got > 0; at += used, got -= used) {
 *             r = lzh8_decoder_decode(d, at, got, &used, out, sizeof out, &made);
 *             fwrite(out, 1, made, stdout);
 *         }
 *     while (r == LZH8_MORE) {  // the input ended: output is left, or it is cut short
 *         r = lzh8_decoder_end(d, out, sizeof out, &made, NULL);
 *         fwrite(out, 1, made, stdout);
 *     }
 *     lzh8_decoder_free(d);
 *
 * (examples/stream.c is this, with its checks.)
 * One decoder serves one thread at a time; different decoders may run on
 * different threads at once. */
typedef struct lzh8_decoder lzh8_decoder;

/* A decoder ready for a file's first byte, or null without memory. */
LZH8_API lzh8_decoder* lzh8_decoder_new(void);
/* Makes the decoder ready for a new file's first byte. */
LZH8_API void lzh8_decoder_reset(lzh8_decoder* decoder);
LZH8_API void lzh8_decoder_free(lzh8_decoder* decoder);

/* The size the file's header declares: LZH8_OK once the header is read,
 * LZH8_MORE before, or the failure that the header holds. */
LZH8_API lzh8_result lzh8_decoder_declared_size(const lzh8_decoder* decoder, size_t* size);

/* Decodes from in[0..in_size) into out[0..out_capacity): *in_used and
 * *out_made say how many bytes of each it used. Returns
 *   LZH8_OK    once the file is decoded and all of it handed out; bytes
 *              after *in_used are not the file's (trailing data), and
 *              later calls use none;
 *   LZH8_MORE  while it is not: with *in_used == in_size, give it the
 *              next piece of input (or, at the input's end, call
 *              lzh8_decoder_end); else the output ran out of room, so call
 *              again with room and in + *in_used;
 *   or the failure that lzh8_decode_detailed would give, which every
 *   later call returns too. The input running out is never a failure
 *   here: the decoder keeps the few bytes it cannot use yet. */
LZH8_API lzh8_result lzh8_decoder_decode(lzh8_decoder* decoder, const void* in, size_t in_size,
                                         size_t* in_used, void* out, size_t out_capacity,
                                         size_t* out_made);

/* Says that the input has ended after the bytes used so far, and hands
 * out what is left: LZH8_OK once all of it is out, LZH8_MORE while the
 * output has no more room, or LZH8_TRUNCATED (with *details, which may be
 * null, as lzh8_decode_detailed sets them) where the file is not whole. */
LZH8_API lzh8_result lzh8_decoder_end(lzh8_decoder* decoder, void* out, size_t out_capacity,
                                      size_t* out_made, lzh8_details* details);

/* An out_capacity that lzh8_pack always finds large enough for in_size
 * bytes: in_size plus the largest header and tables. */
LZH8_API size_t lzh8_pack_bound(size_t in_size);

/* Packs in[0..in_size) into out as an LZH8 file and sets *out_size to its
 * length. level 1 (fastest) to 9 (smallest), or 0 for LZH8_DEFAULT_LEVEL.
 * threads: 0 for every core the process may run on, 1 for the calling
 * thread only (no thread is started), n for at most n. The bytes written
 * are the same whatever threads is.
 *
 * Any out_capacity >= lzh8_pack_bound(in_size) suffices; with a smaller
 * one that the file does not fit, returns LZH8_OUTPUT_TOO_SMALL, having
 * written nothing past out_capacity. On any failure *out_size is 0. */
LZH8_API lzh8_result lzh8_pack(const void* in, size_t in_size, void* out, size_t out_capacity,
                               size_t* out_size, int level, unsigned threads);

/* What lzh8_pack_to hands the file to, piece by piece and in order, on
 * the calling thread: 0 to go on, anything else to stop. */
typedef int (*lzh8_write_function)(void* context, const void* bytes, size_t size);

/* lzh8_pack, writing the file through write (with context as its first
 * argument) as it is made instead of into a buffer of the bound's size,
 * which for a large input is much fresh memory. The same bytes as
 * lzh8_pack. Once write refuses a piece it is not called again, and the
 * call returns LZH8_WRITE_FAILED. */
LZH8_API lzh8_result lzh8_pack_to(const void* in, size_t in_size, lzh8_write_function write,
                                  void* context, int level, unsigned threads);

/* What lzh8_pack_to_with_progress tells, on the calling thread, of how far
 * it has come: done of total (in_size) bytes, rising. */
typedef void (*lzh8_progress_function)(void* context, size_t done, size_t total);

/* lzh8_pack_to, also calling progress (with progress_context) as the
 * input is parsed, which is most of the time packing takes: after each
 * piece of about 1 MiB that the calling thread parses, and with done equal
 * to in_size before the first write. progress may be null. The same
 * bytes as lzh8_pack. */
LZH8_API lzh8_result lzh8_pack_to_with_progress(const void* in, size_t in_size,
                                                lzh8_write_function write, void* context,
                                                lzh8_progress_function progress,
                                                void* progress_context, int level,
                                                unsigned threads);

#ifdef __cplusplus
}
#endif

#endif
