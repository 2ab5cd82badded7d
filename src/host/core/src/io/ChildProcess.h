#pragma once

#include <functional>

namespace corvaxis::io {

/// How work run in a child process ended.
struct ChildOutcome {
    /// False when no child could be started or waited for; the work then did not run.
    bool ran = false;
    /// The child's exit status when it returned normally.
    int exitStatus = 0;
    /// The signal that ended the child, 0 when none did.
    int stoppingSignal = 0;
};

/// Runs `work` in a forked copy of this process and waits for it; the child exits with what
/// `work` returns (0 when it throws). Used to try code that can stop the whole process, such as a
/// library's internal assertion on forged input, without risking the caller's process.
///
/// In the child, abort() ends it by its signal whatever handler the process installed; it writes
/// no core file and nothing to standard error. `work` must not need other threads: the child has
/// only the calling one.
ChildOutcome runInChildProcess(const std::function<int()>& work);

}  // namespace corvaxis::io
