#pragma once

#include "PointClusters.h"
#include "PointTree.h"
#include "ReportingWork.h"

#include <optional>

namespace corvaxis::registration {

/// The points of a set within a radius of a query: through a k-d tree, or by trying every point
/// when the whole set fits in the radius. The points must outlive the search and stay unchanged.
class RadiusSearch {
public:
    explicit RadiusSearch(const Points& points);
    /// Points within the radius (and, when every point is tried, farther ones too, with their true
    /// squared distances), unsorted; `found` is reused between calls.
    void within(const double* query, double squaredRadius, std::vector<PointTree::Neighbour>& found) const;

private:
    const Points& m_points;
    double m_squaredDiagonal;
    PointTree m_tree;
};

/// Sums of the posterior correspondence probabilities of one expectation step of the Gaussian
/// mixture whose centroids are the moved points, fitted to the fixed points; both sides are weighted
/// clusters (a weight of 1 for a plain point). P1 and PX are per moved point, Pt1 per fixed point.
struct MixtureSums {
    Eigen::VectorXd p1;
    Points px;
    Eigen::VectorXd pt1;
    /// Sum over fixed points of weight times the logarithm of the mixture's density there (up to
    /// the normalisation that depends on the variance only).
    double sumLogDenominator = 0.0;
};

/// Mixture terms below exp(-truncation) of the largest possible term are left out: pairs farther
/// apart than 5 standard deviations never meet. On a surface, the Gaussian's mass beyond that radius
/// is the same exp(-truncation), 4e-6 of its whole.
constexpr double truncation = 12.5;

/// One expectation step without ever holding the moved x fixed matrix: a pass over the fixed
/// points forms each one's denominator, a pass over the moved points gathers their sums, both over
/// neighbours within the truncation radius only. `fixedSearch` searches `fixed.centroids`. `outlierTerm` is the uniform component's share of a denominator.
/// Runs on worker threads; false when the heartbeat asked to stop.
bool mixtureSums(const PointClusters& fixed, const RadiusSearch& fixedSearch, const Points& moved,
                 const Eigen::VectorXd& movedWeights, double variance, double outlierTerm, int threads,
                 const ProgressSpan& progress, MixtureSums& sums);

}  // namespace corvaxis::registration
