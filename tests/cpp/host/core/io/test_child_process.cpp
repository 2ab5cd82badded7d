#include "io/ChildProcess.h"

#include "corvaxis/core/io/Hdf5.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace corvaxis::io;
using namespace std::chrono_literals;

TEST(ChildProcess, ReportsHowTheChildEndedAndLeavesTheParentAlone)
{
    int touched = 0;
    const ChildOutcome returned = runInChildProcess([&] {
        touched = 1;  // the child's copy only
        return 7;
    }, 60s);
    EXPECT_TRUE(returned.ran);
    EXPECT_EQ(returned.exitStatus, 7);
    EXPECT_EQ(returned.stoppingSignal, 0);
    EXPECT_FALSE(returned.timedOut);
    EXPECT_EQ(touched, 0);

    const ChildOutcome threw = runInChildProcess([]() -> int { throw std::runtime_error("refused"); }, 60s);
    EXPECT_EQ(threw.exitStatus, 0);
    EXPECT_EQ(threw.stoppingSignal, 0);

    // Even with a handler of the parent's own that would let abort() end the process otherwise.
    const auto previous = std::signal(SIGABRT, +[](int) { std::_Exit(3); });
    const ChildOutcome aborted = runInChildProcess([]() -> int { std::abort(); }, 60s);
    std::signal(SIGABRT, previous);
    EXPECT_TRUE(aborted.ran);
    EXPECT_EQ(aborted.stoppingSignal, SIGABRT);
}

TEST(ChildProcess, AChildThatDoesNotEndInTimeIsKilledAndReaped)
{
    const auto start = std::chrono::steady_clock::now();
    const ChildOutcome hung = runInChildProcess([] {
        for (;;)
            ::pause();
        return 0;
    }, 300ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(hung.ran);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 20s);
    EXPECT_EQ(hung.stoppingSignal, 0);
}

TEST(ChildProcess, AForkWaitsForAnHdf5SessionOfAnotherThreadAndTheChildFindsItFree)
{
    std::atomic<bool> holding = false;
    std::thread holder([&] {
        const Hdf5Session session;
        holding = true;
        std::this_thread::sleep_for(200ms);
    });
    while (!holding)
        std::this_thread::yield();
    const ChildOutcome outcome = runInChildProcess([] {
        const Hdf5Session session;  // would wait for ever on a lock copied while held
        return 5;
    }, 30s);
    holder.join();
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.exitStatus, 5);
}

TEST(ReportingChild, HandsOverEachReportAndThenHowTheChildEnded)
{
    struct Case {
        const char* name;
        std::function<void(const ReportingChild::Report&)> work;
        int reports;
        bool timedOut;
        int signal;
    };
    const std::vector<Case> cases = {
        {"finishes", [](const auto& report) { for (int i = 0; i < 300; ++i) report(static_cast<unsigned char>(i)); },
         300, false, 0},
        {"aborts on the third item", [](const auto& report) { report(0); report(1); std::abort(); }, 2, false, SIGABRT},
        {"hangs on the second item", [](const auto& report) { report(0); for (;;) ::pause(); }, 1, true, 0},
        {"throws", [](const auto& report) { report(0); throw std::runtime_error("refused"); }, 1, false, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ReportingChild child(test.work);
        ASSERT_TRUE(child.started());
        int reported = 0;
        while (const auto value = child.next(500ms)) {
            EXPECT_EQ(*value, static_cast<unsigned char>(reported));
            ++reported;
        }
        EXPECT_EQ(reported, test.reports);
        EXPECT_TRUE(child.outcome().ran);
        EXPECT_EQ(child.outcome().timedOut, test.timedOut);
        EXPECT_EQ(child.outcome().stoppingSignal, test.signal);
        EXPECT_FALSE(child.next(10ms));
    }
}
