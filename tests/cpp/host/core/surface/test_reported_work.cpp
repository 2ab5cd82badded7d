#include "SurfaceChecks.h"

#include "corvaxis/core/Threads.h"
#include "corvaxis/core/surface/Decimation.h"
#include "corvaxis/core/surface/ReportedWork.h"
#include "corvaxis/core/surface/SurfaceNet.h"

#include <algorithm>
#include <stdexcept>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

struct Raised {};

/// How a run of three items goes: which item fails, and on which report the caller stops (by
/// returning false, or by raising).
struct WorkCase {
    const char* name;
    int failingItem;   // -1: none
    int stopAtReport;  // -1: never
    bool stopByRaising;
};

}  // namespace

TEST(ReportedWork, ReportsWeightedProgressAndStopsSpinningWorkers)
{
    const std::vector<WorkCase> cases = {
        {"all run", -1, -1, false},
        {"one fails", 1, -1, false},
        {"stopped at once", -1, 0, false},
        {"stopped later", -1, 1, false},
        {"report raises", -1, 0, true},
    };
    for (const WorkCase& run : cases) {
        SCOPED_TRACE(run.name);
        const bool stopping = run.stopAtReport >= 0;
        // Items that would spin for hours unless their hook stops them: the run returning at all
        // shows that they stopped.
        const surface::ItemWork work = [&](std::size_t item, const std::function<void(double)>& hook) {
            if (static_cast<int>(item) == run.failingItem)
                throw std::runtime_error("item failed");
            const long long steps = stopping ? 100'000'000'000LL : 1000;
            for (long long step = 0; step < steps; ++step)
                hook(static_cast<double>(step) / static_cast<double>(steps));
        };
        std::vector<double> fractions;
        const auto report = [&](double fraction) {
            fractions.push_back(fraction);
            if (static_cast<int>(fractions.size()) - 1 == run.stopAtReport) {
                if (run.stopByRaising)
                    throw Raised{};
                return false;
            }
            return true;
        };
        std::vector<std::exception_ptr> errors;
        const auto runAll = [&] {
            return surface::runReportingProgress({2, 0, 1}, {1.0, 2.0, 5.0}, 2, work, report, errors);
        };
        if (run.stopByRaising) {
            EXPECT_THROW(runAll(), Raised);
        }
        else {
            EXPECT_EQ(runAll(), !stopping);
        }
        ASSERT_FALSE(fractions.empty());
        EXPECT_EQ(fractions.front(), 0.0) << "the first report comes before any work is done";
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
        if (stopping)
            continue;
        ASSERT_EQ(errors.size(), 3u);
        for (int item = 0; item < 3; ++item)
            EXPECT_EQ(static_cast<bool>(errors[static_cast<std::size_t>(item)]), item == run.failingItem) << item;
        // A failed item counts as not done: its weight stays out of the last report.
        EXPECT_DOUBLE_EQ(fractions.back(), run.failingItem < 0 ? 1.0 : 6.0 / 8.0);
    }
}

TEST(ReportedWork, MeshingAndDecimationStopWhenTheirHookRaises)
{
    const surface::BinaryMask ball = ballMask(9.0);
    const surface::TriangleSurface voxels = surface::extractSurface(ball, Mat4::Identity());
    const std::vector<std::pair<const char*, std::function<void(const std::function<void(double)>&)>>> steps = {
        {"marching cubes", [&](const auto& hook) { surface::extractSurface(ball, Mat4::Identity(), hook); }},
        {"net", [&](const auto& hook) {
             surface::extractSurfaceNet(ball, Mat4::Identity(), {ball.dimensions, {0, 0, 0}},
                                        [](int, int, int) { return surface::outsideRegion; }, hook);
         }},
        {"decimation", [&](const auto& hook) { surface::decimate(voxels, 0.01, hook); }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        std::vector<double> fractions;
        step([&](double fraction) { fractions.push_back(fraction); });
        ASSERT_GE(fractions.size(), 2u);
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
        EXPECT_GE(fractions.front(), 0.0);
        EXPECT_LE(fractions.back(), 1.0);
        int calls = 0;
        EXPECT_THROW(step([&](double) {
            if (++calls == 2)
                throw Raised{};
        }), Raised);
        EXPECT_EQ(calls, 2);
    }
}

TEST(SurfaceNet, SmoothingGivesTheSameSurfaceForAnyThreadCount)
{
    // Large enough that the smoothing steps split the vertices into several blocks.
    const surface::BinaryMask ball = ballMask(55.0);
    std::vector<surface::TriangleSurface> surfaces;
    for (int threads : {1, 3}) {
        setComputingThreads(threads);
        const surface::SurfaceNet net = surface::extractSurfaceNet(ball, Mat4::Identity(), {ball.dimensions, {0, 0, 0}},
                                                                   [](int, int, int) { return surface::outsideRegion; });
        surfaces.push_back(surface::smoothSurfaceNets({net}, {voxelCount(ball)}, {}, [](double) { return true; }).at(0));
    }
    setComputingThreads(0);
    ASSERT_GT(surfaces[0].vertices.rows(), 2 * 16384);
    EXPECT_EQ(surfaces[0].vertices, surfaces[1].vertices);
    EXPECT_EQ(surfaces[0].faces, surfaces[1].faces);
}
