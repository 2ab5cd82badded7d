#include "ChildProcess.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace corvaxis::io {

ChildOutcome runInChildProcess(const std::function<int()>& work)
{
    const pid_t child = ::fork();
    if (child < 0)
        return {};
    if (child == 0) {
        // Libraries stop on their assertions through abort(). Other faults keep the process's own
        // handlers, so that a sanitizer or a fuzzer still reports them (and the parent, reading the
        // same bytes next, meets them again in full view).
        std::signal(SIGABRT, SIG_DFL);
        const rlimit noCoreFile{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCoreFile);
        const int nullDevice = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nullDevice >= 0)
            ::dup2(nullDevice, STDERR_FILENO);
        int status = 0;
        try {
            status = work();
        }
        catch (...) {
        }
        // Leaves without running the parent's exit handlers or flushing its copied buffers.
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return {};
    ChildOutcome outcome;
    outcome.ran = true;
    if (WIFSIGNALED(status))
        outcome.stoppingSignal = WTERMSIG(status);
    else if (WIFEXITED(status))
        outcome.exitStatus = WEXITSTATUS(status);
    return outcome;
}

}  // namespace corvaxis::io
