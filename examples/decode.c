/* Decodes an LZH8 file through libostrel: decode IN.lzh8 OUT
 *
 *   cc decode.c $(pkg-config --cflags --libs ostrel) -o decode
 */
#include <ostrel/lzh8.h>

#include <stdio.h>
#include <stdlib.h>

static int fail(const char* name, const char* why)
{
    fprintf(stderr, "decode: %s: %s\n", name, why);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s in.lzh8 out\n", argv[0]);
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (in == NULL || fseek(in, 0, SEEK_END) != 0)
        return fail(argv[1], "cannot be read");
    long in_size = ftell(in);
    rewind(in);
    unsigned char* packed = malloc(in_size > 0 ? (size_t)in_size : 1);
    if (packed == NULL || fread(packed, 1, (size_t)in_size, in) != (size_t)in_size)
        return fail(argv[1], "cannot be read");
    fclose(in);

    /* The header tells how much room the decoded bytes need. */
    size_t size;
    lzh8_result result = lzh8_decoded_size(packed, (size_t)in_size, &size);
    unsigned char* plain = result == LZH8_OK ? malloc(size > 0 ? size : 1) : NULL;
    if (result == LZH8_OK && plain == NULL)
        return fail(argv[1], "no memory for the decoded bytes");
    if (result == LZH8_OK)
        result = lzh8_decode(packed, (size_t)in_size, plain, size, &size);
    if (result != LZH8_OK)
        return fail(argv[1], lzh8_result_text(result));

    FILE* out = fopen(argv[2], "wb");
    if (out == NULL || fwrite(plain, 1, size, out) != size || fclose(out) != 0)
        return fail(argv[2], "cannot be written");
    free(plain);
    free(packed);
    return 0;
}
