#include "PointClusters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>

namespace corvaxis::registration {

PointClusters unmerged(const Points& points)
{
    return {points, Eigen::VectorXd::Ones(points.rows()), Eigen::VectorXd::Zero(points.rows()), {}};
}

PointClusters mergedByGrid(const Points& points, double cellSize)
{
    if (!(cellSize > 0.0))
        throw std::invalid_argument("The cells of a point grid need a positive size");
    const Eigen::Index n = points.rows();
    const Eigen::RowVector3d low = points.colwise().minCoeff();
    // 21 bits per axis; coarser cells where the set would need more.
    const double extent = (points.colwise().maxCoeff() - low).maxCoeff();
    const double cell = std::max(cellSize, extent / double((1 << 21) - 2));
    std::vector<std::pair<std::uint64_t, Eigen::Index>> keys(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i) {
        std::uint64_t key = 0;
        for (int axis = 0; axis < 3; ++axis)
            key = (key << 21) | static_cast<std::uint64_t>(std::floor((points(i, axis) - low[axis]) / cell));
        keys[static_cast<std::size_t>(i)] = {key, i};
    }
    std::sort(keys.begin(), keys.end());

    PointClusters result;
    result.clusterOf.resize(static_cast<std::size_t>(n));
    Eigen::Index clusters = 0;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (k > 0 && keys[k].first != keys[k - 1].first)
            ++clusters;
        result.clusterOf[static_cast<std::size_t>(keys[k].second)] = clusters;
    }
    ++clusters;
    result.centroids = Points::Zero(clusters, 3);
    result.counts = Eigen::VectorXd::Zero(clusters);
    result.spreads = Eigen::VectorXd::Zero(clusters);
    for (Eigen::Index i = 0; i < n; ++i) {
        const Eigen::Index c = result.clusterOf[static_cast<std::size_t>(i)];
        result.centroids.row(c) += points.row(i);
        result.counts[c] += 1.0;
    }
    result.centroids.array().colwise() /= result.counts.array();
    for (Eigen::Index i = 0; i < n; ++i) {
        const Eigen::Index c = result.clusterOf[static_cast<std::size_t>(i)];
        result.spreads[c] += (points.row(i) - result.centroids.row(c)).squaredNorm();
    }
    result.spreads.array() /= result.counts.array();
    return result;
}

}  // namespace corvaxis::registration
