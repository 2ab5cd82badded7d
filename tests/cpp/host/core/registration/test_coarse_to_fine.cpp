#include "registration/KernelBasis.h"
#include "registration/PointClusters.h"
#include "registration/ReportingWork.h"

#include "SurfaceFixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace corvaxis::registration {
namespace {

TEST(PointClusters, MergedByGridKeepsEveryPointOnce)
{
    const Points points = testing::placed(testing::icosphere(3), Vec3(25.0, 20.0, 15.0)).vertices;
    const struct {
        double cellSize;
        Eigen::Index expectedClusters;  // 0: between one and the point count
    } cases[] = {{1e-6, points.rows()}, {6.0, 0}, {15.0, 0}, {1000.0, 1}};
    for (const auto& [cellSize, expectedClusters] : cases) {
        const PointClusters clusters = mergedByGrid(points, cellSize);
        ASSERT_EQ(clusters.clusterOf.size(), static_cast<std::size_t>(points.rows()));
        if (expectedClusters > 0)
            EXPECT_EQ(clusters.size(), expectedClusters) << cellSize;
        else
            EXPECT_TRUE(clusters.size() > 1 && clusters.size() < points.rows()) << cellSize;
        EXPECT_DOUBLE_EQ(clusters.counts.sum(), static_cast<double>(points.rows()));
        // Centroids and spreads are those of the members, which share a cell.
        Points sums = Points::Zero(clusters.size(), 3);
        Eigen::VectorXd squares = Eigen::VectorXd::Zero(clusters.size());
        for (Eigen::Index i = 0; i < points.rows(); ++i) {
            const Eigen::Index c = clusters.clusterOf[static_cast<std::size_t>(i)];
            sums.row(c) += points.row(i);
            squares[c] += (points.row(i) - clusters.centroids.row(c)).squaredNorm();
            EXPECT_LE((points.row(i) - clusters.centroids.row(c)).norm(), cellSize * std::sqrt(3.0) + 1e-9);
        }
        for (Eigen::Index c = 0; c < clusters.size(); ++c) {
            EXPECT_LT((sums.row(c) / clusters.counts[c] - clusters.centroids.row(c)).norm(), 1e-9);
            EXPECT_NEAR(squares[c] / clusters.counts[c], clusters.spreads[c], 1e-9);
        }
    }
    EXPECT_THROW(mergedByGrid(points, 0.0), std::invalid_argument);
    const PointClusters alone = unmerged(points);
    EXPECT_FALSE(alone.merged());
    EXPECT_TRUE(alone.centroids == points && alone.counts.isOnes() && alone.spreads.isZero());
}

TEST(KernelBasis, FactorsTheKernelMatrixOfItsPoints)
{
    const Points points = testing::icosphere(2).vertices;  // 162 points on the unit sphere
    const Eigen::MatrixXd exact = gaussianKernel(points, points, 1.0);
    EXPECT_NEAR(exact(0, 1), std::exp(-(points.row(0) - points.row(1)).squaredNorm() / 2.0), 1e-15);
    const struct {
        double width;
        int rank;
        double largestError;  // of B B^T against the kernel matrix
    } cases[] = {
        {1.0, 162, 1e-8},  // every point a centre: exact up to the dropped directions
        {4.0, 162, 1e-8},  // wide: many near-singular directions dropped
        {1.0, 60, 1e-2},   // fewer centres than points: close for a smooth kernel
        {0.3, 60, 0.5},    // narrow: the points between the centres are poorly served
    };
    for (const auto& [width, rank, largestError] : cases) {
        const KernelBasis basis(points, rank, width);
        const Eigen::MatrixXd b = basis.rows(points);
        EXPECT_EQ(basis.centres().rows(), rank);
        EXPECT_LT((b * b.transpose() - gaussianKernel(points, points, width)).cwiseAbs().maxCoeff(), largestError)
            << width << ' ' << rank;
        // A displacement B beta is the field with the basis's coefficients on the centres.
        const Eigen::MatrixXd beta = Eigen::MatrixXd::Random(basis.size(), 3);
        EXPECT_LT((gaussianKernel(points, basis.centres(), width) * basis.coefficients(beta) - b * beta).cwiseAbs().maxCoeff(),
                  1e-9);
    }
}

TEST(RunChunks, KeepsTheCallerInformedAndStopsWhenAsked)
{
    using namespace std::chrono_literals;
    const std::thread::id caller = std::this_thread::get_id();
    const struct {
        const char* name;
        int threads;
        int beatsBeforeStop;  // -1: never asks to stop
        int failingChunk;     // -1: none throws
    } cases[] = {
        {"one thread to the end", 1, -1, -1},
        {"several threads to the end", 3, -1, -1},
        {"stop at the first beat", 2, 0, -1},
        {"stop later", 1, 2, -1},
        {"a chunk throws", 2, -1, 4},
    };
    constexpr int chunks = 12;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> ran[chunks] = {};
        int beats = 0, calls = 0;
        double lastShare = 0.0;
        const Algorithm::ProgressCallback callback = [&](double fraction, const std::string& step) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_EQ(step, "Work");
            EXPECT_GE(fraction, lastShare);
            lastShare = fraction;
            ++calls;
            return c.beatsBeforeStop < 0 || beats++ < c.beatsBeforeStop;
        };
        Heartbeat heartbeat(callback);
        const auto work = [&](int chunk) {
            ++ran[chunk];
            if (chunk == c.failingChunk)
                throw std::runtime_error("chunk failed");
            std::this_thread::sleep_for(40ms);
        };
        if (c.failingChunk >= 0) {
            EXPECT_THROW(runChunks(chunks, c.threads, {heartbeat, "Work", 0.0, 1.0}, work), std::runtime_error);
            continue;
        }
        const bool finished = runChunks(chunks, c.threads, {heartbeat, "Work", 0.0, 1.0}, work);
        EXPECT_EQ(finished, c.beatsBeforeStop < 0);
        int total = 0;
        for (const auto& count : ran) {
            EXPECT_LE(count, 1);
            total += count;
        }
        // The work outlasts a heartbeat interval, so the caller heard of it while it ran.
        EXPECT_GE(calls, 1);
        if (finished)
            EXPECT_EQ(total, chunks);
        else
            EXPECT_LT(total, chunks);
        EXPECT_EQ(heartbeat.stopped(), !finished);
    }
}

TEST(RunChunks, UsesTheComputingThreadsWhenGivenNoCount)
{
    // A process of one computing thread (a cohort's worker, say) shares no chunk out.
    const int before = computingThreads();
    setComputingThreads(1);
    const Algorithm::ProgressCallback none;
    Heartbeat heartbeat(none);
    std::mutex mutex;
    std::set<std::thread::id> seen;
    const bool finished = runChunks(16, 0, {heartbeat, "Work", 0.0, 1.0}, [&](int) {
        const std::scoped_lock lock(mutex);
        seen.insert(std::this_thread::get_id());
    });
    setComputingThreads(before);
    EXPECT_TRUE(finished);
    EXPECT_EQ(seen.size(), 1u);
}

}  // namespace
}  // namespace corvaxis::registration
