// Helper threads, for the work of one call that can run at once: the
// packer's parse and bit stream, and the lane decoder's lanes.
#ifndef OSTREL_LIB_THREADS_H
#define OSTREL_LIB_THREADS_H

#include <cstddef>

namespace ostrel {

// The count of threads worth running for count pieces of work: no more
// than the cores this process may run on (taskset and cgroups narrow
// them), nor than limit unless limit is 0.
unsigned threads_for(std::size_t count, unsigned limit);

// Runs call(work, 0) to call(work, count - 1) at once: index 0 here and
// the others on threads of their own. One that no thread can be started
// for runs here, after index 0. Whatever a call throws is thrown here once
// every call has ended.
void run_indexed(unsigned count, void (*call)(const void* work, unsigned index), const void* work);

// Runs work(0) to work(count - 1) at once, as run_indexed does.
template <typename Work>
void run_at_once(unsigned count, const Work& work)
{
    run_indexed(
        count, [](const void* w, unsigned index) { (*static_cast<const Work*>(w))(index); }, &work);
}

}  // namespace ostrel

#endif
