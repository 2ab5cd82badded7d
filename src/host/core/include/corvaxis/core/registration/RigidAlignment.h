#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <functional>

namespace corvaxis::registration {

// Rows of points: corvaxis::Points, spelt out because registration::Points (PointSetAlignment.h)
// holds points as columns.

/// Applies a 4x4 transformation to every row.
corvaxis::Points transformPoints(const Mat4& transformation, const corvaxis::Points& points);

/// Every k-th row, k the smallest step that leaves at most `count` (positive) rows.
corvaxis::Points everyKth(const corvaxis::Points& points, Eigen::Index count);

/// Centroid and principal axes (columns, by decreasing variance, right-handed) of a point set.
struct PrincipalMoments {
    Vec3 centroid = Vec3::Zero();
    Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();
    Vec3 variances = Vec3::Zero();
};
PrincipalMoments principalMoments(const corvaxis::Points& points);

struct RigidIcpOptions {
    /// Also estimate one isotropic scale (a similarity instead of a rigid transformation).
    bool withScaling = false;
    int maxIterations = 50;
    /// Stops when the root mean square distance improves by less than this fraction.
    double tolerance = 1e-6;
    /// Asked before every iteration when set: false ends the run there, with what it has so far.
    std::function<bool()> goOn;
    /// Threads the closest points are searched on (0: computingThreads()); the result does not depend on it.
    int threads = 0;
};

struct RigidIcpResult {
    Mat4 transformation = Mat4::Identity();
    /// Root mean square distance from the moved points to their closest fixed points.
    double rms = 0.0;
    int iterations = 0;
};

/// Point-to-point iterative closest point from `initial`: the transformation maps `moving` onto
/// `fixed` (both in world coordinates). Needs at least three points on each side.
RigidIcpResult rigidIcp(const corvaxis::Points& moving, const corvaxis::Points& fixed, const Mat4& initial,
                        const RigidIcpOptions& options = {});

/// Aligns two surfaces without correspondences: candidate starts from the centroids (principal
/// axes kept as they are, and the four right-handed pairings of the principal axes), each refined
/// by rigid ICP; the candidate with the smallest residual wins. With scaling, the start scale
/// comes from the spread of the points. Beyond a few thousand moving points the candidates are
/// compared through every k-th of them and only the winner is refined with all. Deterministic.
/// `goOn`, when set, is asked before every ICP iteration; once it says false the result means nothing.
RigidIcpResult alignByMomentsAndIcp(const corvaxis::Points& moving, const corvaxis::Points& fixed, bool withScaling = false,
                                    const std::function<bool()>& goOn = {}, int threads = 0);

}  // namespace corvaxis::registration
