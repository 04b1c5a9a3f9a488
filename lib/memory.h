// Large buffers not yet touched. `prefer_huge_pages` asks for 2 MiB pages
// over the whole 2 MiB pages inside the buffer: it is then faulted in and
// cleared in a few steps instead of one per 4 KiB page. `fault_in_pages`
// makes every page of a buffer that is to be written whole present at
// once, without the trap into the kernel that each page's first write
// would cost, which under a hypervisor costs more than clearing the page.
// Memory stays at the buffer's size; a kernel without either feature
// ignores the advice. The programs use them on their own buffers too.
#ifndef OSTREL_LIB_MEMORY_H
#define OSTREL_LIB_MEMORY_H

#include <cstddef>

namespace ostrel {

const std::size_t huge_page_size = std::size_t{2} << 20;
void prefer_huge_pages(void* buffer, std::size_t size);
void fault_in_pages(void* buffer, std::size_t size);

}  // namespace ostrel

#endif
