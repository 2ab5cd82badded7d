#include "corvaxis/core/registration/PointSetAlignment.h"

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <Eigen/SVD>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvaxis::registration {

namespace {

using Mat3 = Eigen::Matrix3d;

// Ratio below which the smaller of two squared spreads (eigen- or singular values of 3x3 scatter
// and correlation matrices) counts as zero: noise-free points on a line give about 1e-16.
constexpr double rankTolerance = 1e-12;

/// How many independent directions the values of a symmetric positive semi-definite 3x3 matrix
/// span, judged relative to its largest value.
int spreadRank(const Mat3& scatter)
{
    const Eigen::Vector3d values = Eigen::SelfAdjointEigenSolver<Mat3>(scatter, Eigen::EigenvaluesOnly).eigenvalues();
    const double largest = values[2];
    if (!(largest > 0.0))
        return 0;
    int rank = 0;
    for (int i = 0; i < 3; ++i)
        rank += values[i] > rankTolerance * largest ? 1 : 0;
    return rank;
}

/// Rank of the points' deviations from their centroid: 0 all in one place, 1 on one line.
int pointSpread(const Points& points)
{
    if (points.cols() == 0)
        return 0;
    const Points centred = points.colwise() - points.rowwise().mean();
    return spreadRank(centred * centred.transpose());
}

std::string describePoints(const Points& moving, const Points& fixed)
{
    const Eigen::Index count = moving.cols();
    if (count == 0)
        return "no point pairs";
    const int spread = std::min(pointSpread(moving), pointSpread(fixed));
    const char* shape = spread == 0 ? "all in one place" : spread == 1 ? "all on one line" : "not on one line";
    return fmt::format("{} point pair{} ({})", count, count == 1 ? "" : "s", shape);
}

std::string describePlanes(const Planes& planes)
{
    const Eigen::Index count = planes.cols();
    if (count == 0)
        return "no plane pairs";
    const Eigen::Matrix3Xd normals = planes.topRows<3>();
    const int spread = spreadRank(normals * normals.transpose());
    const char* shape = spread <= 1 ? "normals all parallel" : spread == 2 ? "normals in one plane" : "normals spanning space";
    return fmt::format("{} plane pair{} ({})", count, count == 1 ? "" : "s", shape);
}

Alignment failed(std::string message)
{
    Alignment alignment;
    alignment.failure = std::move(message);
    return alignment;
}

bool finite(const Points& points) { return points.allFinite(); }

}  // namespace

Alignment rigidFromPointsAndPlanes(const Points& moving, const Points& fixed, const Planes& movingPlanes,
                                   const Planes& fixedPlanes, double planeWeight)
{
    if (moving.cols() != fixed.cols() || movingPlanes.cols() != fixedPlanes.cols())
        return failed("Point or plane pairs are incomplete: the moving and fixed sides differ in number");
    if (!std::isfinite(planeWeight) || planeWeight < 0.0)
        return failed(fmt::format("The plane weight must be finite and not negative, got {}", planeWeight));
    if (!finite(moving) || !finite(fixed) || !movingPlanes.allFinite() || !fixedPlanes.allFinite())
        return failed("Point or plane pairs are not finite");
    // With no weight the planes take no part, and so cannot make up for missing points.
    const Planes noPlanes(4, 0);
    const Planes& usedMovingPlanes = planeWeight > 0.0 ? movingPlanes : noPlanes;
    const Planes& usedFixedPlanes = planeWeight > 0.0 ? fixedPlanes : noPlanes;
    const Eigen::Index pointCount = moving.cols();

    const auto describe = [&] {
        return describePoints(moving, fixed) + " and " + describePlanes(usedMovingPlanes);
    };

    Eigen::Vector3d movingCentroid = Eigen::Vector3d::Zero();
    Eigen::Vector3d fixedCentroid = Eigen::Vector3d::Zero();
    Mat3 correlation = Mat3::Zero();
    if (pointCount > 0) {
        movingCentroid = moving.rowwise().mean();
        fixedCentroid = fixed.rowwise().mean();
        correlation = (moving.colwise() - movingCentroid) * (fixed.colwise() - fixedCentroid).transpose();
    }
    correlation += planeWeight * usedMovingPlanes.topRows<3>() * usedFixedPlanes.topRows<3>().transpose();

    const Eigen::JacobiSVD<Mat3> svd(correlation, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Vector3d strengths = svd.singularValues();
    if (!(strengths[0] > 0.0) || strengths[1] <= rankTolerance * strengths[0])
        return failed("Too few or degenerate correspondences to determine a rotation: " + describe() +
                      "; needed: three point pairs not on one line, or plane pairs whose normals are not all "
                      "parallel (with at least one point pair or normals spanning space for the translation)");

    // A reflection would fit better when the correspondences are mirrored; the closest rotation
    // flips the weakest direction instead.
    Mat3 orientation = Mat3::Identity();
    orientation(2, 2) = (svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
    const Mat3 rotation = svd.matrixV() * orientation * svd.matrixU().transpose();

    // Least squares over |R p + t - q|^2 and, per plane, w ((R m).t - (d_moving - d_fixed))^2: the
    // moved plane (R m).x + d_moving - (R m).t = 0 should have the fixed plane's offset.
    const Eigen::Matrix3Xd movedNormals = rotation * usedMovingPlanes.topRows<3>();
    Mat3 system = static_cast<double>(pointCount) * Mat3::Identity() +
                  planeWeight * movedNormals * movedNormals.transpose();
    Eigen::Vector3d rightSide = Eigen::Vector3d::Zero();
    if (pointCount > 0)
        rightSide = static_cast<double>(pointCount) * (fixedCentroid - rotation * movingCentroid);
    rightSide += planeWeight * movedNormals * (usedMovingPlanes.row(3) - usedFixedPlanes.row(3)).transpose();
    if (spreadRank(system) < 3)
        return failed("The plane pairs alone do not determine a translation: " + describe() +
                      "; needed: a point pair, or plane normals spanning space");
    const Eigen::Vector3d translation = system.ldlt().solve(rightSide);

    Alignment alignment;
    alignment.transformation.topLeftCorner<3, 3>() = rotation;
    alignment.transformation.topRightCorner<3, 1>() = translation;
    if (!alignment.transformation.allFinite())
        return failed("The correspondences gave no finite transformation");
    return alignment;
}

Alignment similarityFromPoints(const Points& moving, const Points& fixed)
{
    if (moving.cols() != fixed.cols())
        return failed("Point pairs are incomplete: the moving and fixed sides differ in number");
    if (!finite(moving) || !finite(fixed))
        return failed("Point pairs are not finite");
    const std::string needed = "; needed: three point pairs not on one line (planes are not used by this method)";
    if (moving.cols() < 3)
        return failed("Too few correspondences to determine a similarity: " + describePoints(moving, fixed) + needed);
    const int movingSpread = pointSpread(moving);
    const int fixedSpread = pointSpread(fixed);
    if (movingSpread < 2 || fixedSpread < 2)
        return failed(fmt::format("Degenerate correspondences: the {} points are {}{}",
                                  movingSpread < 2 ? "moving" : "fixed",
                                  std::min(movingSpread, fixedSpread) == 0 ? "all in one place" : "all on one line",
                                  needed));
    const Points movingCentred = moving.colwise() - moving.rowwise().mean();
    const Points fixedCentred = fixed.colwise() - fixed.rowwise().mean();
    const Eigen::Vector3d strengths =
        Eigen::JacobiSVD<Mat3>(fixedCentred * movingCentred.transpose()).singularValues();
    if (strengths[1] <= rankTolerance * strengths[0])
        return failed("Degenerate correspondences: the point pairs do not determine a rotation" + needed);

    Alignment alignment;
    alignment.transformation = Eigen::umeyama(moving, fixed, true);
    const double scale = alignment.transformation.topLeftCorner<3, 3>().determinant();
    if (!alignment.transformation.allFinite() || !(scale > 0.0))
        return failed("The point pairs gave no finite similarity transformation");
    return alignment;
}

double rootMeanSquareDistance(const Points& moving, const Points& fixed, const Mat4& transformation)
{
    if (moving.cols() == 0)
        return std::numeric_limits<double>::quiet_NaN();
    const Points moved = (transformation.topLeftCorner<3, 3>() * moving).colwise() + transformation.topRightCorner<3, 1>();
    return std::sqrt((moved - fixed).colwise().squaredNorm().mean());
}

}  // namespace corvaxis::registration
