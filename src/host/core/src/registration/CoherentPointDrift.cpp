#include "CoherentPointDrift.h"

#include "MixtureSums.h"
#include "Parallel.h"

#include <Eigen/Cholesky>

#include <cmath>
#include <limits>
#include <memory>
#include <numbers>

namespace corvaxis::registration {

namespace {

// Grid cells of a resolution are at most this many standard deviations of the mixture: a finer
// resolution takes over when the variance has shrunk below it.
constexpr double cellPerDeviation = 0.7;
// A side whose grid keeps more than this share of its points is taken as it is.
constexpr double mergedShareLimit = 0.6;
// Rows per chunk of the work on basis rows.
constexpr long rowsPerChunk = 2048;
constexpr double smallestVariance = 1e-12;

/// Both point sets at one resolution, with the kernel basis at the moving centroids.
struct Resolution {
    /// Edge of the grid cells; 0 when both sets are taken as they are (the finest resolution).
    double cellSize = 0.0;
    PointClusters fixed, moving;
    Eigen::MatrixXd basisRows;
    std::unique_ptr<RadiusSearch> fixedSearch;
};

PointClusters atResolution(const Points& points, double cellSize)
{
    if (cellSize > 0.0) {
        PointClusters merged = mergedByGrid(points, cellSize);
        if (static_cast<double>(merged.size()) <= mergedShareLimit * static_cast<double>(points.rows()))
            return merged;
    }
    return unmerged(points);
}

/// The resolution for cells of `cellSize`; nullptr when the heartbeat asked to stop.
std::unique_ptr<Resolution> resolution(const Points& fixed, const Points& moving, const KernelBasis& basis,
                                       double cellSize, int threads, const ProgressSpan& progress)
{
    auto result = std::make_unique<Resolution>();
    const bool merged = runWhileReporting(progress.part(0.0, 0.3), [&] {
        result->fixed = atResolution(fixed, cellSize);
        result->moving = atResolution(moving, cellSize);
        result->fixedSearch = std::make_unique<RadiusSearch>(result->fixed.centroids);
    });
    if (!merged)
        return nullptr;
    result->cellSize = result->fixed.merged() || result->moving.merged() ? cellSize : 0.0;
    const Points& centroids = result->moving.centroids;
    result->basisRows.resize(centroids.rows(), basis.size());
    const int chunks = chunksFor(centroids.rows(), rowsPerChunk);
    const bool rowsDone = runChunks(chunks, threads, progress.part(0.3, 1.0), [&](int chunk) {
        const auto [begin, end] = chunkRange(centroids.rows(), chunks, chunk);
        result->basisRows.middleRows(begin, end - begin) = basis.rows(centroids.middleRows(begin, end - begin));
    });
    return rowsDone ? std::move(result) : nullptr;
}

/// The moving centroids displaced by B beta.
bool displaced(const Resolution& at, const Eigen::MatrixXd& beta, int threads, const ProgressSpan& progress, Points& moved)
{
    const Eigen::Index rows = at.moving.size();
    moved.resize(rows, 3);
    const int chunks = chunksFor(rows, rowsPerChunk);
    return runChunks(chunks, threads, progress, [&](int chunk) {
        const auto [begin, end] = chunkRange(rows, chunks, chunk);
        moved.middleRows(begin, end - begin) =
            at.moving.centroids.middleRows(begin, end - begin) + at.basisRows.middleRows(begin, end - begin) * beta;
    });
}

/// The maximisation step: the beta that minimises the expected fit plus lambda/2 |beta|^2, from
/// (B^T dP1 B + lambda sigma^2 I) beta = B^T (PX - dP1 Y); only the lower half of the symmetric
/// matrix is formed.
bool solveForBeta(const Resolution& at, const MixtureSums& sums, double damping, int threads,
                  const ProgressSpan& progress, Eigen::MatrixXd& beta)
{
    const Eigen::Index rows = at.moving.size(), size = at.basisRows.cols();
    const int chunks = chunksFor(rows, rowsPerChunk);
    std::vector<Eigen::MatrixXd> normals(static_cast<std::size_t>(chunks)), sides(static_cast<std::size_t>(chunks));
    const bool summed = runChunks(chunks, threads, progress, [&](int chunk) {
        const auto [begin, end] = chunkRange(rows, chunks, chunk);
        const auto b = at.basisRows.middleRows(begin, end - begin);
        const auto p1 = sums.p1.segment(begin, end - begin);
        const Eigen::MatrixXd weighted = b.array().colwise() * p1.array().sqrt();
        Eigen::MatrixXd& normal = normals[static_cast<std::size_t>(chunk)];
        normal = Eigen::MatrixXd::Zero(size, size);
        normal.selfadjointView<Eigen::Lower>().rankUpdate(weighted.transpose());
        sides[static_cast<std::size_t>(chunk)] =
            b.transpose() * (sums.px.middleRows(begin, end - begin) - p1.asDiagonal() * at.moving.centroids.middleRows(begin, end - begin));
    });
    if (!summed)
        return false;
    Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(size, size), side = Eigen::MatrixXd::Zero(size, 3);
    for (int chunk = 0; chunk < chunks; ++chunk) {
        normal += normals[static_cast<std::size_t>(chunk)];
        side += sides[static_cast<std::size_t>(chunk)];
    }
    normal.diagonal().array() += damping;
    beta = normal.selfadjointView<Eigen::Lower>().ldlt().solve(side);
    return true;
}

/// The variance that maximises the expected likelihood for the displaced centroids; the spread of
/// the points inside each cluster counts as distance.
double nextVariance(const Resolution& at, const MixtureSums& sums, const Points& moved)
{
    const double fit = sums.pt1.dot((at.fixed.centroids.rowwise().squaredNorm() + at.fixed.spreads).matrix()) -
                       2.0 * sums.px.cwiseProduct(moved).sum() +
                       sums.p1.dot((moved.rowwise().squaredNorm() + at.moving.spreads).matrix());
    return std::max(fit / (3.0 * sums.p1.sum()), smallestVariance);
}

}  // namespace

bool coherentPointDrift(const Points& x, const Points& y, const KernelBasis& basis,
                        const DeformableRegistrationOptions& options, const ProgressSpan& progress, DriftOutcome& outcome)
{
    const auto n = static_cast<double>(x.rows()), m = static_cast<double>(y.rows());
    double variance = (m * x.rowwise().squaredNorm().sum() + n * y.rowwise().squaredNorm().sum() -
                       2.0 * x.colwise().sum().dot(y.colwise().sum())) /
                      (3.0 * m * n);
    Eigen::MatrixXd beta = Eigen::MatrixXd::Zero(basis.size(), 3);
    std::unique_ptr<Resolution> at;
    Points moved;
    MixtureSums sums;
    double previousObjective = std::numeric_limits<double>::infinity();
    const int iterations = options.maxIterations;
    int iteration = 0;
    for (; iteration < iterations && variance > smallestVariance; ++iteration) {
        const ProgressSpan now = progress.part(static_cast<double>(iteration) / iterations,
                                               static_cast<double>(iteration + 1) / iterations);
        if (!now.heartbeat.beat(now.from, now.step, true))
            return false;
        if (!at || at->cellSize > cellPerDeviation * std::sqrt(variance)) {
            // The coarsest grid whose cells are within the bound, in halvings from the first one.
            double cellSize = at ? at->cellSize : cellPerDeviation * std::sqrt(variance);
            while (cellSize > cellPerDeviation * std::sqrt(variance))
                cellSize /= 2.0;
            at = resolution(x, y, basis, cellSize, options.threads, now.part(0.0, 0.2));
            if (!at || !displaced(*at, beta, options.threads, now.part(0.2, 0.25), moved))
                return false;
            previousObjective = std::numeric_limits<double>::infinity();  // another resolution, another likelihood
        }
        const double outlierTerm = options.outlierWeight <= 0.0
                                       ? 0.0
                                       : std::pow(2.0 * std::numbers::pi * variance, 1.5) * options.outlierWeight /
                                             (1.0 - options.outlierWeight) * m / n;
        if (!mixtureSums(at->fixed, *at->fixedSearch, moved, at->moving.counts, variance, outlierTerm, options.threads,
                         now.part(0.25, 0.85), sums))
            return false;
        const double objective =
            -sums.sumLogDenominator + 1.5 * n * std::log(variance) + 0.5 * options.smoothness * beta.squaredNorm();
        if (std::abs(previousObjective - objective) <= options.tolerance * std::abs(objective))
            break;
        previousObjective = objective;
        if (!solveForBeta(*at, sums, options.smoothness * variance, options.threads, now.part(0.85, 0.95), beta) ||
            !displaced(*at, beta, options.threads, now.part(0.95, 1.0), moved))
            return false;
        variance = nextVariance(*at, sums, moved);
    }
    outcome.iterations = iteration;
    outcome.variance = variance;
    outcome.beta = beta;
    if (at && !at->moving.merged()) {
        outcome.moved = std::move(moved);
        return true;
    }
    // Every moving point displaced by the field, however coarse the last resolution was.
    outcome.moved.resize(y.rows(), 3);
    const int chunks = chunksFor(y.rows(), rowsPerChunk);
    return runChunks(chunks, options.threads, progress.part(1.0, 1.0), [&](int chunk) {
        const auto [begin, end] = chunkRange(y.rows(), chunks, chunk);
        const Points rows = y.middleRows(begin, end - begin);
        outcome.moved.middleRows(begin, end - begin) = rows + basis.rows(rows) * beta;
    });
}

}  // namespace corvaxis::registration
