#pragma once

namespace corvaxis {

/// How many threads the host's algorithms share their work among: the limit set with
/// setComputingThreads, or the machine's hardware threads when none is set. A process that runs
/// several computations side by side with others (one per process, say) sets 1, so that the
/// processes do not compete for the cores. Results never depend on it.
int computingThreads();

/// Sets the limit for every computation started afterwards; 0 removes it. Throws
/// std::invalid_argument for a negative count.
void setComputingThreads(int threads);

}  // namespace corvaxis
