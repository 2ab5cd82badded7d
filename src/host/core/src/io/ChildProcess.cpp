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

[[noreturn]] void runAsChild(const std::function<int()>& work)
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

}  // namespace corvaxis::io
