#include "MixtureSums.h"

#include "Parallel.h"

#include <cmath>

namespace corvaxis::registration {

namespace {

// Items per work chunk: small enough that a chunk never holds up a request to stop.
constexpr long itemsPerChunk = 512;

}  // namespace

RadiusSearch::RadiusSearch(const Points& points)
    : m_points(points), m_squaredDiagonal((points.colwise().maxCoeff() - points.colwise().minCoeff()).squaredNorm()),
      m_tree(points)
{
}

void RadiusSearch::within(const double* query, double squaredRadius, std::vector<PointTree::Neighbour>& found) const
{
    if (m_squaredDiagonal > squaredRadius) {
        m_tree.within(query, squaredRadius, found);
        return;
    }
    const Eigen::Map<const Eigen::RowVector3d> q(query);
    found.resize(static_cast<std::size_t>(m_points.rows()));
    for (Eigen::Index j = 0; j < m_points.rows(); ++j)
        found[static_cast<std::size_t>(j)] = {j, (m_points.row(j) - q).squaredNorm()};
}

bool mixtureSums(const PointClusters& fixed, const RadiusSearch& fixedSearch, const Points& moved,
                 const Eigen::VectorXd& movedWeights, double variance, double outlierTerm, int threads,
                 const ProgressSpan& progress, MixtureSums& sums)
{
    const double squaredRadius = 2.0 * truncation * variance;
    const double factor = -1.0 / (2.0 * variance);
    const Eigen::Index n = fixed.size(), m = moved.rows();
    std::optional<RadiusSearch> movedSearch;
    if (!runWhileReporting(progress.part(0.0, 0.1), [&] { movedSearch.emplace(moved); }))
        return false;

    // Each fixed point's denominator: the uniform term plus the weighted Gaussians of the moved points.
    Eigen::VectorXd denominators(n);
    sums.pt1.resize(n);
    const int fixedChunks = chunksFor(n, itemsPerChunk);
    std::vector<double> logSums(static_cast<std::size_t>(fixedChunks), 0.0);
    const bool denominatorsDone = runChunks(fixedChunks, threads, progress.part(0.1, 0.5), [&](int chunk) {
        std::vector<PointTree::Neighbour> near;
        const auto [begin, end] = chunkRange(n, fixedChunks, chunk);
        double logSum = 0.0;
        for (Eigen::Index i = begin; i < end; ++i) {
            movedSearch->within(fixed.centroids.row(i).data(), squaredRadius, near);
            double denominator = outlierTerm;
            for (const auto& [j, squaredDistance] : near)
                if (squaredDistance < squaredRadius)
                    denominator += movedWeights[j] * std::exp(squaredDistance * factor);
            denominators[i] = denominator;
            if (denominator > 0.0) {
                logSum += fixed.counts[i] * std::log(denominator);
                sums.pt1[i] = fixed.counts[i] * (denominator - outlierTerm) / denominator;
            } else {
                sums.pt1[i] = 0.0;  // no moved point near enough: this fixed point acts as an outlier
            }
        }
        logSums[static_cast<std::size_t>(chunk)] = logSum;
    });
    if (!denominatorsDone)
        return false;
    sums.sumLogDenominator = 0.0;
    for (const double logSum : logSums)
        sums.sumLogDenominator += logSum;

    // Each moved point gathers its posteriors from the fixed points near it.
    sums.p1.resize(m);
    sums.px.resize(m, 3);
    const int movedChunks = chunksFor(m, itemsPerChunk);
    return runChunks(movedChunks, threads, progress.part(0.5, 1.0), [&](int chunk) {
        std::vector<PointTree::Neighbour> near;
        const auto [begin, end] = chunkRange(m, movedChunks, chunk);
        for (Eigen::Index j = begin; j < end; ++j) {
            fixedSearch.within(moved.row(j).data(), squaredRadius, near);
            double p1 = 0.0;
            Eigen::RowVector3d px = Eigen::RowVector3d::Zero();
            for (const auto& [i, squaredDistance] : near) {
                if (squaredDistance >= squaredRadius || !(denominators[i] > 0.0))
                    continue;
                const double p = fixed.counts[i] * std::exp(squaredDistance * factor) / denominators[i];
                p1 += p;
                px += p * fixed.centroids.row(i);
            }
            sums.p1[j] = movedWeights[j] * p1;
            sums.px.row(j) = movedWeights[j] * px;
        }
    });
}

}  // namespace corvaxis::registration
