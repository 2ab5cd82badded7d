#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

// Work that runs on worker threads while the calling thread reports progress and may stop it, so
// that a large item (one big structure's surface) still reports every 0.2 s and stops within one
// hook call of the request. Python callbacks run only in `report`, on the calling thread.
namespace corvaxis::surface {

/// Thrown on a worker by its progress hook once the caller asked to stop.
struct WorkStopped {};

/// Work on item i: work(i, hook), where the work calls hook(fraction of the item done) every few
/// milliseconds; the hook throws WorkStopped once the caller asked to stop.
using ItemWork = std::function<void(std::size_t, const std::function<void(double)>&)>;

/// Runs `work` for the items in `order` on up to `threads` worker threads, each item once, while
/// the calling thread calls report(fraction done, the items weighted by `weights`) before the
/// work starts, then whenever an item finishes and at least every 0.2 s, and once all are done.
/// When report returns false the workers stop at their next hook call and the result is false;
/// an exception from report does the same and is rethrown once the workers are joined. Otherwise
/// each item's failure is in `errors[item]` (resized to the item count) and the result is true.
bool runReportingProgress(const std::vector<std::size_t>& order, const std::vector<double>& weights, std::size_t threads,
                          const ItemWork& work, const std::function<bool(double)>& report,
                          std::vector<std::exception_ptr>& errors);

}  // namespace corvaxis::surface
