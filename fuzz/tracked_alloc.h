// Forced ahead of the decoder in the fuzz build: the decoder frees nothing
// when it fails (the process ends), but in process a failed run must not
// leave its blocks behind, so the fuzz harness tracks them.
#ifndef OSTREL_FUZZ_TRACKED_ALLOC_H
#define OSTREL_FUZZ_TRACKED_ALLOC_H

#include <cstddef>
#include <cstdlib>

void* fuzz_tracked_malloc(std::size_t size);
void fuzz_tracked_free(void* block);

namespace std {
using ::fuzz_tracked_free;
using ::fuzz_tracked_malloc;
}  // namespace std

#define malloc fuzz_tracked_malloc
#define free fuzz_tracked_free

#endif
