// Text from the command line or a file name, made safe to echo in a
// one-line report.
#ifndef OSTREL_TOOLS_PRINTABLE_H
#define OSTREL_TOOLS_PRINTABLE_H

#include <string>

// text with every control character (a newline, an escape that a terminal
// would act on, a carriage return that would hide what came before) and
// the backslash written as C writes them in a string: \n, \t, \r, \\, or
// \x and two hexadecimal digits. Other bytes, UTF-8 included, stay.
std::string printable(const char* text);

#endif
