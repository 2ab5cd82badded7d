#include "ChildProcess.h"

#include "corvaxis/core/Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

namespace corvaxis::io {

namespace {

using Clock = std::chrono::steady_clock;

/// What every child does first: aborts end it by their signal, quietly.
void prepareChild()
{
    // Libraries stop on their assertions through abort(). Other faults keep the process's own
    // handlers, so that a sanitizer or a fuzzer still reports them (and the parent, reading the
    // same bytes next, meets them again in full view).
    std::signal(SIGABRT, SIG_DFL);
    const rlimit noCoreFile{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCoreFile);
    const int nullDevice = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nullDevice >= 0)
        ::dup2(nullDevice, STDERR_FILENO);
    // Logs nothing: its standard error goes nowhere, and a sink may need what only the parent has.
    Log::g_globalLevel = Log::Fatal + 1;
}

[[noreturn]] void runAsChild(const std::function<int()>& work)
{
    prepareChild();
    int status = 0;
    try {
        status = work();
    }
    catch (...) {
    }
    // Leaves without running the parent's exit handlers or flushing its copied buffers.
    ::_exit(status);
}

/// Reaps the child if it has ended: true with its status, false while it runs.
bool reaped(pid_t child, int& status, bool& failed)
{
    for (;;) {
        const pid_t result = ::waitpid(child, &status, WNOHANG);
        if (result == child)
            return true;
        if (result == 0)
            return false;
        if (errno != EINTR) {
            failed = true;
            return true;
        }
    }
}

/// Waits until the child may have ended or the deadline passed: on a process descriptor where
/// the kernel has them, else by short sleeps.
void waitForChange(int processDescriptor, Clock::time_point deadline, std::chrono::microseconds& nap)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (processDescriptor >= 0) {
        pollfd event{processDescriptor, POLLIN, 0};
        ::poll(&event, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60'000)));
        return;
    }
    std::this_thread::sleep_for(std::min<std::chrono::microseconds>(nap, left));
    nap = std::min<std::chrono::microseconds>(nap * 2, std::chrono::milliseconds(5));
}

}  // namespace

ChildOutcome runInChildProcess(const std::function<int()>& work, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    const pid_t child = ::fork();
    if (child < 0)
        return {};
    if (child == 0)
        runAsChild(work);

    const int processDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    ChildOutcome outcome;
    int status = 0;
    bool failed = false;
    std::chrono::microseconds nap(50);
    while (!reaped(child, status, failed)) {
        if (Clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            outcome.timedOut = true;
            break;
        }
        waitForChange(processDescriptor, deadline, nap);
    }
    if (processDescriptor >= 0)
        ::close(processDescriptor);
    if (failed)
        return {};
    outcome.ran = true;
    if (outcome.timedOut)
        return outcome;
    if (WIFSIGNALED(status))
        outcome.stoppingSignal = WTERMSIG(status);
    else if (WIFEXITED(status))
        outcome.exitStatus = WEXITSTATUS(status);
    return outcome;
}

ReportingChild::ReportingChild(const std::function<void(const Report&)>& work)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    // This side waits in poll(), with a deadline; the child's side blocks when the pipe is full.
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    if (child == 0) {
        ::close(ends[0]);
        prepareChild();
        const int toParent = ends[1];
        try {
            work([toParent](unsigned char value) {
                while (::write(toParent, &value, 1) < 0 && errno == EINTR) {
                }
            });
        }
        catch (...) {
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    m_child = child;
    m_reports = ends[0];
}

ReportingChild::~ReportingChild()
{
    if (m_child > 0)
        reap(true);
    if (m_reports >= 0)
        ::close(m_reports);
}

void ReportingChild::reap(bool kill)
{
    if (kill)
        ::kill(m_child, SIGKILL);
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(m_child, &status, 0)) < 0 && errno == EINTR) {
    }
    m_child = -1;
    m_outcome.ran = result > 0;
    if (!m_outcome.ran || m_outcome.timedOut)
        return;
    if (WIFSIGNALED(status))
        m_outcome.stoppingSignal = WTERMSIG(status);
    else if (WIFEXITED(status))
        m_outcome.exitStatus = WEXITSTATUS(status);
}

std::optional<unsigned char> ReportingChild::next(std::chrono::milliseconds limit)
{
    if (m_child <= 0)
        return std::nullopt;
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        unsigned char value;
        const ssize_t got = ::read(m_reports, &value, 1);
        if (got == 1)
            return value;
        if (got == 0) {
            // The pipe closes when the child ends, whichever way.
            reap(false);
            return std::nullopt;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            reap(true);
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_outcome.timedOut = true;
            reap(true);
            return std::nullopt;
        }
        pollfd event{m_reports, POLLIN, 0};
        ::poll(&event, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60'000)));
    }
}

}  // namespace corvaxis::io
