// Helper threads: the work of one call on as many cores as it may use.
#include "threads.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace ostrel {

unsigned threads_for(std::size_t count, unsigned limit)
{
    cpu_set_t allowed;
    int cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    std::size_t most = static_cast<std::size_t>(std::max(cores, 1));
    if (limit != 0)
        most = std::min<std::size_t>(most, limit);
    return static_cast<unsigned>(std::min(count, most));
}

// What a helper thread runs, the cores it may run on once started, and
// what its call threw.
struct HelperStart {
    void (*call)(const void* work, unsigned index);
    const void* work;
    unsigned index;
    bool placed;
    cpu_set_t allowed;
    std::exception_ptr thrown;
};

extern "C" void* run_helper(void* argument)
{
    auto* start = static_cast<HelperStart*>(argument);
    if (start->placed)
        pthread_setaffinity_np(pthread_self(), sizeof start->allowed, &start->allowed);
    try {
        start->call(start->work, start->index);
    } catch (...) {
        start->thrown = std::current_exception();
    }
    return nullptr;
}

// A helper's stack: its calls need a few KiB, and a size of its own keeps
// it so whatever the process's stack limit (whose size threads take by
// default), under which 8 MiB of address space each would count.
const std::size_t helper_stack = 512 << 10;

// A new thread first runs on the core of the thread that made it, which
// is busy with work of its own: it can wait there for milliseconds before
// the scheduler moves it to an idle core, as long as a small file takes to
// pack. So each helper starts on another of the allowed cores, in turn,
// and then may run on any of them again.
void run_indexed(unsigned count, void (*call)(const void* work, unsigned index), const void* work)
{
    std::vector<HelperStart> starts(count);
    std::vector<pthread_t> helpers;
    helpers.reserve(count);  // nothing may throw once a helper runs
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    bool placed = sched_getaffinity(0, sizeof allowed, &allowed) == 0;
    const int here = sched_getcpu();
    unsigned core = CPU_SETSIZE - 1, started = 1;
    for (; started < count; started++) {
        starts[started] = {call, work, started, placed, allowed, nullptr};
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, helper_stack);
        for (unsigned tries = 0; placed && tries < CPU_SETSIZE; tries++) {
            core = (core + 1) % CPU_SETSIZE;
            if (static_cast<int>(core) != here && CPU_ISSET(core, &allowed)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(core, &one);
                pthread_attr_setaffinity_np(&attributes, sizeof one, &one);
                break;
            }
        }
        pthread_t helper;
        int failed = pthread_create(&helper, &attributes, run_helper, &starts[started]);
        pthread_attr_destroy(&attributes);
        if (failed != 0)
            break;
        helpers.push_back(helper);
    }
    std::exception_ptr thrown;
    try {
        call(work, 0);
        for (unsigned left = started; left < count; left++)
            call(work, left);
    } catch (...) {
        thrown = std::current_exception();
    }
    for (pthread_t helper : helpers)
        pthread_join(helper, nullptr);
    for (unsigned index = 1; index < started && !thrown; index++)
        thrown = starts[index].thrown;
    if (thrown)
        std::rethrow_exception(thrown);
}

}  // namespace ostrel
