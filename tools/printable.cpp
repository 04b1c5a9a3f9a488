#include "printable.h"

std::string printable(const char* text)
{
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (; *text != '\0'; text++) {
        const auto byte = static_cast<unsigned char>(*text);
        if (byte == '\\')
            shown += "\\\\";
        else if (byte == '\n')
            shown += "\\n";
        else if (byte == '\t')
            shown += "\\t";
        else if (byte == '\r')
            shown += "\\r";
        else if (byte < 0x20 || byte == 0x7F)
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        else
            shown += static_cast<char>(byte);
    }
    return shown;
}
