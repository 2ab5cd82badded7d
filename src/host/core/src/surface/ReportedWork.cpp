#include "corvaxis/core/surface/ReportedWork.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvaxis::surface {

namespace {

/// How often the waiting thread reports: within the quarter second a caller may wait for news.
constexpr auto reportInterval = std::chrono::milliseconds(200);

}  // namespace

bool runReportingProgress(const std::vector<std::size_t>& order, const std::vector<double>& weights, std::size_t threads,
                          const ItemWork& work, const std::function<bool(double)>& report,
                          std::vector<std::exception_ptr>& errors)
{
    const std::size_t count = weights.size();
    errors.assign(count, nullptr);
    double totalWeight = 0.0;
    for (double weight : weights)
        totalWeight += weight;
    std::vector<std::atomic<double>> done(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finishedOne;
    std::size_t finished = 0;
    const auto run = [&] {
        for (std::size_t position; !stop && (position = next++) < order.size();) {
            const std::size_t item = order[position];
            try {
                work(item, [&](double fraction) {
                    done[item].store(std::clamp(fraction, 0.0, 1.0), std::memory_order_relaxed);
                    if (stop)
                        throw WorkStopped{};
                });
                done[item].store(1.0, std::memory_order_relaxed);
            }
            catch (...) {
                errors[item] = std::current_exception();
            }
            const std::lock_guard lock(mutex);
            ++finished;
            finishedOne.notify_one();
        }
    };
    bool stopped = false;
    std::exception_ptr reportFailure;  // thrown on only once the workers are joined
    const auto reportNow = [&] {
        double fraction = 0.0;
        for (std::size_t item = 0; item < count; ++item)
            fraction += weights[item] * done[item].load(std::memory_order_relaxed);
        try {
            stopped = !report(totalWeight > 0.0 ? std::min(1.0, fraction / totalWeight) : 0.0);
        }
        catch (...) {
            reportFailure = std::current_exception();
            stopped = true;
        }
        stop = stopped;
    };
    reportNow();
    std::vector<std::thread> workers;
    if (!stopped) {
        for (std::size_t i = 0; i < std::min(order.size(), std::max<std::size_t>(threads, 1)); ++i)
            workers.emplace_back(run);
        std::unique_lock lock(mutex);
        while (!stopped) {
            if (finished < order.size())
                finishedOne.wait_for(lock, reportInterval);
            const bool all = finished == order.size();
            lock.unlock();
            reportNow();
            lock.lock();
            if (all)
                break;
        }
    }
    for (auto& worker : workers)
        worker.join();
    if (reportFailure)
        std::rethrow_exception(reportFailure);
    return !stopped;
}

}  // namespace corvaxis::surface
