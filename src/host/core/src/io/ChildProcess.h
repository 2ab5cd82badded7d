#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include <sys/types.h>

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

/// Work on a list of items in a forked copy of this process that tells this one as it finishes
/// each item, so that this process can go on with an item as soon as the child is past it, while
/// the child goes on with the next. The child is prepared as runInChildProcess prepares it.
class ReportingChild {
public:
    /// Sends one value (0 to 255) to the parent: the outcome of the child's next item.
    using Report = std::function<void(unsigned char)>;

    /// Forks and runs `work(report)` in the child, which then exits with status 0.
    explicit ReportingChild(const std::function<void(const Report&)>& work);
    /// Kills and reaps a child still running.
    ~ReportingChild();
    ReportingChild(const ReportingChild&) = delete;
    ReportingChild& operator=(const ReportingChild&) = delete;

    /// False when no child could be started: then nothing runs and next() reports nothing.
    bool started() const { return m_child > 0; }

    /// The child's next report, waiting at most `limit`; nullopt when the child ended without one
    /// or did not send one in time (it is then killed). outcome() then says how it ended.
    std::optional<unsigned char> next(std::chrono::milliseconds limit);
    const ChildOutcome& outcome() const { return m_outcome; }

private:
    void reap(bool kill);

    pid_t m_child = -1;
    int m_reports = -1;
    ChildOutcome m_outcome;
};

}  // namespace corvaxis::io
