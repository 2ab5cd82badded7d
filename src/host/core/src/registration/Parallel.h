#pragma once

#include "corvaxis/core/Threads.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace corvaxis::registration {

/// Runs work(chunk) for chunk in [0, chunks) on up to `threads` threads (0: computingThreads())
/// and waits. Callers give every chunk its own output and combine them in chunk order, so results
/// do not depend on the number of threads.
template <class Work>
void forEachChunk(int chunks, int threads, const Work& work)
{
    if (threads <= 0)
        threads = computingThreads();
    threads = std::min(threads, chunks);
    if (threads <= 1) {
        for (int chunk = 0; chunk < chunks; ++chunk)
            work(chunk);
        return;
    }
    std::vector<std::jthread> workers;
    workers.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int chunk = t; chunk < chunks; chunk += threads)
                work(chunk);
        });
}

/// The half-open range of items that chunk `chunk` of `chunks` covers.
inline std::pair<long, long> chunkRange(long items, int chunks, int chunk)
{
    return {items * chunk / chunks, items * (chunk + 1) / chunks};
}

}  // namespace corvaxis::registration
