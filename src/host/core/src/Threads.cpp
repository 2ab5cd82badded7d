#include "corvaxis/core/Threads.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace corvaxis {

namespace {

std::atomic<int> g_threadLimit{0};

}  // namespace

int computingThreads()
{
    const int limit = g_threadLimit.load(std::memory_order_relaxed);
    if (limit > 0)
        return limit;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

void setComputingThreads(int threads)
{
    if (threads < 0)
        throw std::invalid_argument("the number of computing threads must be 0 (the machine's) or more, got "
                                    + std::to_string(threads));
    g_threadLimit.store(threads, std::memory_order_relaxed);
}

}  // namespace corvaxis
