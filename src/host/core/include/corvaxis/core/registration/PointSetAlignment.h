#pragma once

#include "corvaxis/core/Types.h"

#include <Eigen/Core>

#include <string>

namespace corvaxis::registration {

/// Corresponding points (column i of moving goes with column i of fixed).
using Points = Eigen::Matrix3Xd;
/// Corresponding planes n.x + d = 0 as columns (n, d), normals of unit length and oriented
/// alike on both sides (a plane and its flipped copy are not recognised as the same).
using Planes = Eigen::Matrix4Xd;

/// The transformation that maps moving onto fixed, or why none could be estimated.
struct Alignment {
    Mat4 transformation = Mat4::Identity();
    /// Empty on success; otherwise what is missing, in words for the user.
    std::string failure;

    bool succeeded() const { return failure.empty(); }
};

/// The rigid transformation (rotation and translation) that best fits point pairs and plane pairs
/// together, in closed form: the rotation from a weighted Kabsch problem on the points' deviations
/// from their centroids and on the plane normals (each plane pair weighing planeWeight against one
/// point pair), then the translation by least squares over the point pairs and the plane offsets.
/// Needs correspondences that fix a rotation (three points off a line, or two points and a plane
/// normal off their line, or two independent normals) and a translation (a point, or normals that
/// span space).
Alignment rigidFromPointsAndPlanes(const Points& moving, const Points& fixed, const Planes& movingPlanes,
                                   const Planes& fixedPlanes, double planeWeight);

/// The similarity transformation (rotation, translation, one positive scale) that best fits the
/// point pairs in the least-squares sense, by Umeyama's method. Needs three pairs off a line.
Alignment similarityFromPoints(const Points& moving, const Points& fixed);

/// Root mean square of the distances between the transformed moving points and the fixed ones;
/// NaN when there are no points (no distance to average).
double rootMeanSquareDistance(const Points& moving, const Points& fixed, const Mat4& transformation = Mat4::Identity());

}  // namespace corvaxis::registration
