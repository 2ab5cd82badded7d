#include "corvaxis/core/Algorithm.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using corvaxis::Algorithm;
using corvaxis::Parameter;
using corvaxis::Properties;

namespace {

struct StepResult {
    int status;
    std::string message;
};

/// Runs `body` inside a compute, the way every algorithm written in C++ does.
class Scripted : public Algorithm {
public:
    enum class Mode : int { Fast = 0, Exact = 1 };

    std::function<void(Run&)> body;
    Parameter<int> count{"count", 3, this};
    Parameter<Mode> mode{"mode", Mode::Fast, this};

    Scripted()
    {
        count.setRange(1, 10);
        mode.setAllowedValues({Mode::Fast, Mode::Exact});
    }
    void compute() override
    {
        Run run(*this, "Scripted");
        body(run);
    }
};

struct RunCase {
    const char* name;
    std::vector<bool> answers;  // what the progress callback returns, call by call
    std::function<void(Algorithm::Run&)> body;
    int status;
    std::string message;
};

}  // namespace

TEST(AlgorithmRun, EveryWayAComputeEndsIsOneStatusAndMessage)
{
    const std::string cancelled(Algorithm::cancelledMessage);
    const std::vector<RunCase> cases = {
        {"success", {true, true}, [](auto& run) { if (run.proceed(0, "a") && run.proceed(1, "b")) run.succeed(); },
         Algorithm::Success, ""},
        {"stop at the second report", {true, false},
         [](auto& run) { if (run.proceed(0, "a") && run.proceed(1, "b")) run.succeed(); }, Algorithm::Cancelled,
         cancelled},
        {"failure", {}, [](auto& run) { run.fail(Algorithm::InvalidInput, "bad count"); }, Algorithm::InvalidInput,
         "bad count"},
        {"a failure called success is an error", {}, [](auto& run) { run.fail(Algorithm::Success, "odd"); },
         Algorithm::Error, "odd"},
        {"numerical step failed", {},
         [](auto& run) { if (run.took(StepResult{Algorithm::Error, "no overlap"})) run.succeed(); }, Algorithm::Error,
         "no overlap"},
        {"numerical step cancelled with its own words", {},
         [](auto& run) { if (run.took(StepResult{Algorithm::Cancelled, "Cancelled"})) run.succeed(); },
         Algorithm::Cancelled, cancelled},
        {"a stop told to a step ends the compute however the step ends", {false},
         [](auto& run) {
             (void)run.part(0.2, 0.8)(0.5, "inner");
             if (run.took(StepResult{Algorithm::Error, "gave up"}))
                 run.succeed();
         },
         Algorithm::Cancelled, cancelled},
        {"no ending", {}, [](auto&) {}, Algorithm::Error, "Scripted ended without a result"},
    };
    for (const RunCase& c : cases) {
        Scripted algorithm;
        std::size_t call = 0;
        std::vector<double> fractions;
        algorithm.setProgressCallback([&](double fraction, const std::string&) {
            fractions.push_back(fraction);
            return call < c.answers.size() ? c.answers[call++] : true;
        });
        algorithm.body = c.body;
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), c.status) << c.name;
        EXPECT_EQ(algorithm.statusMessage(), c.message) << c.name;
        EXPECT_FALSE(algorithm.isComputing()) << c.name;
        if (std::string(c.name).starts_with("a stop told")) {
            EXPECT_EQ(fractions, std::vector<double>{0.5}) << "the part [0.2, 0.8] maps 0.5 to its middle";
        }
    }
}

TEST(AlgorithmRun, WhileComputingParametersAndASecondComputeAreRefused)
{
    Scripted algorithm;
    std::vector<std::string> refusals;
    algorithm.body = [&](Algorithm::Run& run) {
        algorithm.count = 3;  // its value already: no change, nothing refused
        for (const auto& attempt : std::vector<std::function<void()>>{[&] { algorithm.count = 4; },
                                                                     [&] { algorithm.mode = Scripted::Mode::Exact; },
                                                                     [&] { algorithm.compute(); }})
            try {
                attempt();
            } catch (const std::runtime_error& refused) {
                refusals.emplace_back(refused.what());
            }
        run.succeed();
    };
    algorithm.compute();
    EXPECT_EQ(refusals, (std::vector<std::string>{"Parameter 'count' cannot change: Scripted is in use by a running compute",
                                                  "Parameter 'mode' cannot change: Scripted is in use by a running compute",
                                                  "Scripted is in use by a running compute"}));
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    algorithm.count = 4;
    EXPECT_EQ(algorithm.count.value(), 4);
}

TEST(ParameterRequirements, ValuesOutsideTheRequirementAreRefusedWhereverTheyComeFrom)
{
    struct Refusal {
        std::function<void(Scripted&)> assign;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {[](Scripted& s) { s.count = 11; }, "parameter 'count' must be from 1 to 10, not 11"},
        {[](Scripted& s) { s.count = 0; }, "parameter 'count' must be from 1 to 10, not 0"},
        {[](Scripted& s) { s.mode.setRawValue(2); }, "parameter 'mode' must be one of 0, 1, not 2"},
        {[](Scripted& s) {
             Properties stored;
             stored.setParam("count", 99);
             s.configure(&stored);
         },
         "parameter 'count' must be from 1 to 10, not 99"},
    };
    for (const Refusal& refusal : refusals) {
        Scripted algorithm;
        try {
            refusal.assign(algorithm);
            ADD_FAILURE() << "accepted: " << refusal.message;
        } catch (const std::invalid_argument& refused) {
            EXPECT_EQ(refused.what(), refusal.message);
        }
        EXPECT_EQ(algorithm.count.value(), 3);
        EXPECT_EQ(algorithm.mode.value(), Scripted::Mode::Fast);
    }
    Parameter<std::string> path("path", "", nullptr);
    path.setRequirement("without NUL", [](const std::string& text) { return text.find('\0') == std::string::npos; });
    EXPECT_THROW(path = std::string("a\0b", 3), std::invalid_argument);
    path = "ab";
    EXPECT_EQ(path.value(), "ab");
}
