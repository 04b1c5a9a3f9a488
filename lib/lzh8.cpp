// What the library says of itself and of its results.
#include <ostrel/lzh8.h>

const char* lzh8_version(void)
{
    return LZH8_VERSION_STRING;
}

const char* lzh8_result_text(lzh8_result result)
{
    switch (result) {
    case LZH8_OK: return "success";
    case LZH8_NOT_LZH8: return "not LZH8";
    case LZH8_TRUNCATED: return "unexpected EOF";
    case LZH8_CORRUPT_LENGTH_TREE: return "corrupt length tree";
    case LZH8_CORRUPT_OFFSET_TREE: return "corrupt offset tree";
    case LZH8_MATCH_BEFORE_START: return "match before start of output";
    case LZH8_OUTPUT_TOO_SMALL: return "output buffer too small";
    case LZH8_INPUT_TOO_LARGE: return "input too large for LZH8";
    case LZH8_BAD_ARGUMENT: return "bad argument";
    case LZH8_NO_MEMORY: return "Cannot allocate memory";
    case LZH8_WRITE_FAILED: return "write failed";
    case LZH8_MORE: return "not done: more input or output room wanted";
    }
    return "unknown result";
}
