// lzh8pack: writes an LZH8 file that ostrel decodes back to the input.
//
// The packing itself is the library's (lzh8_pack); the program holds what
// is policy:
//   input.cpp   reads the whole input, guarding its size and watching it
//               for changes while it is packed;
//   write.cpp   the output file, written through a temporary file beside
//               it and renamed over it only once complete;
//   main.cpp    the command line.
#ifndef LZH8PACK_H
#define LZH8PACK_H

#include "bytes.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lzh8pack {

using ostrel::Bytes;
using ostrel::Input;

// ---- input.cpp ---------------------------------------------------------

// The input: its stream, and the file as it was when opened.
struct InputFile {
    std::FILE* stream;
    struct stat opened;
    bool regular;
};

// The named file opened for reading, or standard input for "-".
InputFile open_input(const char* path);
// All of the input: a regular file is mapped, anything else read into
// buffer. An input longer than the header can declare is refused before
// it is read where its size is known, else as soon as it is read that
// far. The mapping lasts as long as the process.
Input read_input(const InputFile& input, Bytes& buffer);
// Ends the run with a report if a regular input file was written to,
// grew or shrank since it was opened: what was packed may then be a mix
// of its old and new bytes.
void check_input_unchanged(const InputFile& input);
void close_input(const InputFile& input);

// ---- write.cpp ---------------------------------------------------------

// The output being made. A regular file (or a name not yet taken) is
// written to a temporary file in the same directory, made when the output
// is opened and renamed over the output only once complete and closed; on
// any failure or signal that ends the run the temporary file is removed
// and whatever stood at the output path is left as it was. A symbolic
// link is followed to the file it leads to, which is the one replaced.
// Standard output ("-", or any name of the file it has open) is written
// as it stands; anything else (a device, a pipe) is written directly.
struct Output {
    std::FILE* stream = nullptr;
    std::string path;  // the file the temporary replaces
    bool via_temporary = false;
};

// An output naming the input's file, by any spelling or link, is refused
// before anything is created; so is an existing file that the user may
// not write or replace.
Output open_output(const char* path, const InputFile& input);
void write_output(Output& output, const std::uint8_t* bytes, std::size_t size);
void finish_output(Output& output);

}  // namespace lzh8pack

#endif
