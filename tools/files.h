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

// Whether path names the very file that standard output has open:
// /dev/stdout, /dev/fd/1, /proc/self/fd/1, or any other name of it. Such
// an output is written to descriptor 1 as it stands (its offset, its
// append mode), never opened afresh or cut.
bool names_standard_output(const char* path);

// The file that a chain of symbolic links from path ends at (path itself
// when it is no link), existing or not: a link given as the output stays
// a link, and the file it leads to is the one replaced. False when the
// chain passes through /proc, whose links name open files rather than
// directory entries: such a name can only be written through.
bool follow_links(const char* path, std::string& followed);

// Whether the file at path, as stat describes it, may be replaced by
// renaming another over it: in a directory with the sticky bit (such as
// /tmp) only the file's owner, the directory's owner or root may.
bool replaceable(const std::string& path, const struct stat& existing);

// The first size bytes of the regular file open as fd, mapped for reading
// (no copy, and no fresh memory, where a buffer costs both), or null where
// the file cannot be mapped. With populate, every page is read in at
// once, for a caller that reads them all; without, a page is read only
// when it is first touched. A mapped
// file that shrinks under the program, or whose pages can no longer be
// read, faults on the next access to what is gone: on_fault, then the
// handler of SIGBUS, reports it. The mapping lasts as long as the process.
const unsigned char* map_file(int fd, std::size_t size, bool populate, void (*on_fault)(int));

// The temporary file for the output at path: created in path's directory,
// through a descriptor of that directory (which follows it wherever it is
// moved meanwhile), with a name the directory can hold however long the
// output's own name is. Until it is renamed over the output (`replace_output`), it is
// removed when the process exits and when a signal arrives that would end
// the process, which then ends as the signal would have ended it. Returns
// its descriptor, or -1.
int create_temporary(const std::string& path);
// Gives the temporary file the mode, owner and group of the file it is to
// replace (owner and group as far as the process may set them), or the
// mode that a new file gets; false if the mode cannot be set.
bool take_attributes(int fd, const struct stat* replaced);
// Closes and removes the temporary file, where it cannot serve after all.
void discard_temporary(int fd);
// Renames the temporary file over path's last part, in the directory the
// temporary file is in; false if that fails.
bool replace_output(const std::string& path);

#endif
