#include "memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ostrel {

void prefer_huge_pages(void* buffer, std::size_t size)
{
    const std::uintptr_t huge = huge_page_size;
    auto first = (reinterpret_cast<std::uintptr_t>(buffer) + huge - 1) & ~(huge - 1);
    auto last = (reinterpret_cast<std::uintptr_t>(buffer) + size) & ~(huge - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// The pages that the buffer shares with its neighbours belong to the same
// mapping, which is all that populating them asks.
void fault_in_pages(void* buffer, std::size_t size)
{
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t page = 4096;
    auto first = reinterpret_cast<std::uintptr_t>(buffer) & ~(page - 1);
    auto last = (reinterpret_cast<std::uintptr_t>(buffer) + size + page - 1) & ~(page - 1);
    if (size > 0)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)buffer;
    (void)size;
#endif
}

}  // namespace ostrel
