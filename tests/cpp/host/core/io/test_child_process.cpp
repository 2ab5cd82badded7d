#include "io/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

using namespace corvaxis::io;

TEST(ChildProcess, ReportsHowTheChildEndedAndLeavesTheParentAlone)
{
    int touched = 0;
    const ChildOutcome returned = runInChildProcess([&] {
        touched = 1;  // the child's copy only
        return 7;
    });
    EXPECT_TRUE(returned.ran);
    EXPECT_EQ(returned.exitStatus, 7);
    EXPECT_EQ(returned.stoppingSignal, 0);
    EXPECT_EQ(touched, 0);

    const ChildOutcome threw = runInChildProcess([]() -> int { throw std::runtime_error("refused"); });
    EXPECT_EQ(threw.exitStatus, 0);
    EXPECT_EQ(threw.stoppingSignal, 0);

    // Even with a handler of the parent's own that would let abort() end the process otherwise.
    const auto previous = std::signal(SIGABRT, +[](int) { std::_Exit(3); });
    const ChildOutcome aborted = runInChildProcess([]() -> int { std::abort(); });
    std::signal(SIGABRT, previous);
    EXPECT_TRUE(aborted.ran);
    EXPECT_EQ(aborted.stoppingSignal, SIGABRT);
}
