/* Decodes an LZH8 file through libostrel's stream decoder, a piece at a
 * time, in memory of a fixed size whatever the file's: stream IN.lzh8 OUT
 *
 *   cc stream.c $(pkg-config --cflags --libs ostrel) -o stream
 */
#include <ostrel/lzh8.h>

#include <stdio.h>

static int fail(const char* name, const char* why)
{
    fprintf(stderr, "stream: %s: %s\n", name, why);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s in.lzh8 out\n", argv[0]);
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (in == NULL)
        return fail(argv[1], "cannot be read");
    FILE* out = fopen(argv[2], "wb");
    if (out == NULL)
        return fail(argv[2], "cannot be written");
    lzh8_decoder* decoder = lzh8_decoder_new();
    if (decoder == NULL)
        return fail(argv[1], lzh8_result_text(LZH8_NO_MEMORY));

    static unsigned char piece[65536], plain[65536];
    size_t got, used, made;
    lzh8_result result = LZH8_MORE;
    while (result == LZH8_MORE && (got = fread(piece, 1, sizeof piece, in)) > 0)
        for (unsigned char* at = piece; result == LZH8_MORE && got > 0; at += used, got -= used) {
            result = lzh8_decoder_decode(decoder, at, got, &used, plain, sizeof plain, &made);
            if (fwrite(plain, 1, made, out) != made)
                return fail(argv[2], "cannot be written");
        }
    if (ferror(in))
        return fail(argv[1], "cannot be read");
    /* The input has ended: what is left is handed out, or the file was
     * cut short. */
    while (result == LZH8_MORE) {
        result = lzh8_decoder_end(decoder, plain, sizeof plain, &made, NULL);
        if (fwrite(plain, 1, made, out) != made)
            return fail(argv[2], "cannot be written");
    }
    lzh8_decoder_free(decoder);
    if (result != LZH8_OK)
        return fail(argv[1], lzh8_result_text(result));
    if (fclose(out) != 0)
        return fail(argv[2], "cannot be written");
    fclose(in);
    return 0;
}
