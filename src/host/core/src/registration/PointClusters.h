#pragma once

#include "corvaxis/core/Geometry.h"

#include <Eigen/Core>

#include <vector>

namespace corvaxis::registration {

/// A point set at a coarser resolution: the points of each occupied cell of a grid of cubes merged
/// into one weighted point, their centroid.
struct PointClusters {
    Points centroids;
    /// How many points each centroid stands for.
    Eigen::VectorXd counts;
    /// Mean squared distance of its points to each centroid.
    Eigen::VectorXd spreads;
    /// The cluster of each original point; empty when every point is its own cluster.
    std::vector<Eigen::Index> clusterOf;

    Eigen::Index size() const { return centroids.rows(); }
    bool merged() const { return !clusterOf.empty(); }
};

/// Every point on its own, with weight 1.
PointClusters unmerged(const Points& points);

/// The points merged by a grid of cubes of edge `cellSize` (positive). Clusters come in the order of
/// their cells, and every sum runs in point order, so the result is the same on every run.
PointClusters mergedByGrid(const Points& points, double cellSize);

}  // namespace corvaxis::registration
