#pragma once

#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/Threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvaxis::registration {

/// Passes progress on to an algorithm's callback no more often than every `interval`, and remembers
/// a request to stop. The callback runs only on the thread that made the heartbeat.
class Heartbeat {
public:
    // A fifth of the longest silence callers are promised (0.25 s), so that a busy machine that wakes the
    // reporting thread late still keeps it.
    static constexpr std::chrono::milliseconds interval{50};

    explicit Heartbeat(const Algorithm::ProgressCallback& callback) : m_callback(callback) {}

    /// Says that `step` has come to `fraction`. Calls back when the last call is `interval` old, or
    /// at once when `now`. False once the callback has asked to stop.
    bool beat(double fraction, const std::string& step, bool now = false)
    {
        if (m_stopped)
            return false;
        const auto time = std::chrono::steady_clock::now();
        if (!now && time - m_last < interval)
            return true;
        m_last = time;
        m_stopped = m_callback && !m_callback(fraction, step);
        return !m_stopped;
    }

    /// Whether the callback asked to stop; work on a worker thread that runs long in one piece asks
    /// this now and then.
    bool stopped() const { return m_stopped; }

private:
    const Algorithm::ProgressCallback& m_callback;
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
    std::atomic<bool> m_stopped = false;
};

/// What long work is: a step name and the share of the whole run it covers.
struct ProgressSpan {
    Heartbeat& heartbeat;
    std::string step;
    double from = 0.0;
    double to = 1.0;

    bool beat(double share) const { return heartbeat.beat(from + (to - from) * std::clamp(share, 0.0, 1.0), step); }
    /// The part [begin, end] of this span.
    ProgressSpan part(double begin, double end) const
    {
        return {heartbeat, step, from + (to - from) * begin, from + (to - from) * end};
    }
};

/// Runs work(chunk) for chunk in [0, chunks) on worker threads (`threads`, 0: computingThreads())
/// while the calling thread keeps the heartbeat going. Once it asks to stop, no further chunk
/// starts; the call then waits for the running ones and returns false. Each chunk must write only
/// its own output (combined by the caller in chunk order), so that results do not depend on the
/// number of threads. An exception from a chunk or from the callback is rethrown here once every
/// worker has finished.
template <class Work>
bool runChunks(int chunks, int threads, const ProgressSpan& progress, const Work& work)
{
    if (chunks <= 0)
        return !progress.heartbeat.stopped();
    if (threads <= 0)
        threads = computingThreads();
    threads = std::min(threads, chunks);
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    int running = threads, done = 0;
    std::exception_ptr failure;
    {
        std::vector<std::jthread> workers;
        workers.reserve(static_cast<std::size_t>(threads));
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&] {
                try {
                    for (int chunk = next++; chunk < chunks && !stop; chunk = next++) {
                        work(chunk);
                        const std::scoped_lock lock(mutex);
                        ++done;
                    }
                } catch (...) {
                    const std::scoped_lock lock(mutex);
                    if (!failure)
                        failure = std::current_exception();
                    stop = true;
                }
                const std::scoped_lock lock(mutex);
                if (--running == 0)
                    finished.notify_one();
            });
        // Woken more often than the heartbeat's interval, which decides when the callback runs, so
        // that short pieces of work in a row still let it run on time.
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, Heartbeat::interval / 4, [&] { return running == 0; })) {
            if (stop)
                continue;  // asked to stop already: only wait for the running chunks
            const double share = static_cast<double>(done) / chunks;
            lock.unlock();
            bool goOn = false;
            try {
                goOn = progress.beat(share);
            } catch (...) {
                const std::scoped_lock failed(mutex);
                if (!failure)
                    failure = std::current_exception();
            }
            lock.lock();
            if (!goOn)
                stop = true;
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    return !stop && progress.beat(1.0);
}

/// Runs one piece of work on a worker thread while the calling thread keeps the heartbeat going.
template <class Work>
bool runWhileReporting(const ProgressSpan& progress, const Work& work)
{
    return runChunks(1, 1, progress, [&](int) { work(); });
}

/// Chunks of about `perChunk` items (at least one chunk), a layout that depends on the item count only.
inline int chunksFor(long items, long perChunk) { return static_cast<int>(std::max(1L, (items + perChunk - 1) / perChunk)); }

}  // namespace corvaxis::registration
