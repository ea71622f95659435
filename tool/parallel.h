// Work items 0..count-1 spread over threads: each thread takes the next item
// until none is left, with a state of its own (its buffers), the calling thread
// one of them.  Fewer threads are used when no more can be made.
#ifndef TOLV_PARALLEL_H
#define TOLV_PARALLEL_H

#include "faults.h"

#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

// Runs work(j, state) for every j < count on up to `threads` threads, each with
// its own state made by make_state(); returns once every item is done.  The
// threads other than the caller's leave interruptions to the main thread.
template <typename MakeState, typename Work>
void parallel_for(size_t count, int threads, MakeState make_state, Work work)
{
    std::atomic<size_t> next{0};
    auto run = [&](bool worker) {
        if (worker) faults_worker_thread();
        auto state = make_state();
        for (size_t j; (j = next.fetch_add(1)) < count;) work(j, state);
    };
    std::vector<std::thread> started;
    for (int i = 1; i < threads && size_t(i) < count; i++) {
        try {
            started.emplace_back(run, true);
        } catch (const std::system_error &) {
            break;
        }
    }
    run(false);
    for (std::thread &t : started) t.join();
}

#endif
