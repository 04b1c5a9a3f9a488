// What ostrel and lzh8pack share about the files they are given: the
// standard descriptors, which file an output name stands for, and an
// output replaced whole or not at all through a temporary file beside it.
//
// Nothing here reports or exits: each program reports a failure at its
// own site, so that its messages name its own file and function. A
// failure returns false, or -1, with errno set.
#ifndef OSTREL_TOOLS_FILES_H
#define OSTREL_TOOLS_FILES_H

#include <sys/stat.h>

#include <cstdio>
#include <string>

// Descriptors 0, 1 and 2 closed when the program started are given a
// placeholder that can be neither read nor written, so that no file the
// program opens takes their place (to be read as the input, or written as
// the output), and reading "-" or writing "-" or /dev/stdout fails with
// "Bad file descriptor", as it would have.
void guard_standard_descriptors();

// Whether the two name the same file.
bool same_file(const struct stat& a, const struct stat& b);
// Whether path names the file that stream has open, by any spelling or link.
bool names_open_file(const char* path, std::FILE* stream);

// Whether the file at path, as stat describes it, may be replaced by
// renaming another over it: in a directory with the sticky bit (such as
// /tmp) only the file's owner, the directory's owner or root may.
bool replaceable(const std::string& path, const struct stat& existing);

// The first size bytes of the regular file open as fd, mapped for reading
// (no copy, and no fresh memory, where a buffer costs both), or null where
// the file cannot be mapped. With populate, every page is read in at
// once, for a caller that reads them all; without, a page is read only
// when it is first touched. A mapped file that shrinks under the program,
// or whose pages can no longer be read, faults on the next access to what
// is gone: on_fault, then the handler of SIGBUS, reports it, on the first
// thread to fault (any other waits for the report to end the process).
// The mapping lasts as long as the process.
const unsigned char* map_file(int fd, std::size_t size, bool populate, void (*on_fault)(int));

// What an output name stands for: standard output, named by any name of
// the file it has open (/dev/stdout, /dev/fd/1, /proc/self/fd/1, and "-"
// where the program takes it so), which is written to descriptor 1 as it
// stands, its offset and append mode kept, never opened afresh or cut; or
// the file that the name's chain of symbolic links leads to, existing or
// not, as it is now: a link given as the output stays a link, and the
// file it leads to is the one replaced.
struct OutputTarget {
    bool standard_output = false;
    bool through_proc = false;  // links through /proc: only writing through them reaches the file
    std::string path;           // links followed
    bool exists = false;
    struct stat existing = {};  // where it exists
};
OutputTarget find_output(const char* path, bool dash_is_standard_output);

// Whether the output can be replaced whole through a temporary file beside
// it: a regular file or none yet, named without /proc. (Whether the user
// may replace it is `replaceable`'s question.)
bool takes_temporary(const OutputTarget& target);

// The temporary file for target, open for writing: created beside it,
// through a descriptor of its directory (which follows the directory
// wherever it is moved meanwhile), with a name the directory can hold
// however long the output's own name is, and the mode, owner and group of
// the file it replaces (owner and group as far as the process may set
// them) or those of a new file. Until it is renamed over the output
// (`replace_output`), it is removed when the process exits and when a
// signal arrives that would end the process, which then ends as the signal
// would have ended it. Null where it cannot be had, with failed set to the
// call that failed ("mkstemp", "fchmod" or "fdopen") and errno to its
// error, and no temporary file left.
std::FILE* open_temporary(const OutputTarget& target, const char*& failed);

// Renames the temporary file over path's last part, in the directory the
// temporary file is in; false if that fails.
bool replace_output(const std::string& path);

// Closes the temporary file's stream (unless null: closed already) and
// removes the file, for a program that goes on after an output it could
// not finish.
void abandon_temporary(std::FILE* stream);

#endif
