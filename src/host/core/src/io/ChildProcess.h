#pragma once

#include <chrono>
#include <functional>

namespace corvaxis::io {

/// How work run in a child process ended.
struct ChildOutcome {
    /// False when no child could be started or waited for; the work then did not run.
    bool ran = false;
    /// True when the child did not end within the time limit and was killed.
    bool timedOut = false;
    /// The child's exit status when it returned normally.
    int exitStatus = 0;
    /// The signal that ended the child, 0 when none did (or when it was killed for its time).
    int stoppingSignal = 0;
};

/// Runs `work` in a forked copy of this process and waits for it, at most `limit`: a child still
/// running then is killed and reaped. The child exits with what `work` returns (0 when it
/// throws). Used to try code that can stop the whole process, such as a library's internal
/// assertion on forged input, without risking the caller's process.
///
/// In the child, abort() ends it by its signal whatever handler the process installed; it writes
/// no core file and nothing to standard error. `work` must not need other threads: the child has
/// only the calling one. Locks that the child may need are kept free at the fork by their owners
/// (pthread_atfork), as the HDF5 session and the codec registry do.
ChildOutcome runInChildProcess(const std::function<int()>& work, std::chrono::milliseconds limit);

}  // namespace corvaxis::io
