#include "corvaxis/core/registration/PointSetAlignment.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

using namespace corvaxis;
using namespace corvaxis::registration;

namespace {

Mat4 similarity(const Eigen::Vector3d& axis, double angle, const Eigen::Vector3d& translation, double scale)
{
    Mat4 transformation = Mat4::Identity();
    transformation.topLeftCorner<3, 3>() = scale * Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    transformation.topRightCorner<3, 1>() = translation;
    return transformation;
}

Points randomPoints(int count, unsigned seed)
{
    std::mt19937 engine(seed);
    std::uniform_real_distribution<double> coordinate(-80.0, 80.0);
    Points points(3, count);
    for (int i = 0; i < count; ++i)
        points.col(i) = Eigen::Vector3d(coordinate(engine), coordinate(engine), coordinate(engine));
    return points;
}

Points transformPoints(const Mat4& transformation, const Points& points)
{
    return (transformation.topLeftCorner<3, 3>() * points).colwise() + transformation.topRightCorner<3, 1>();
}

/// Unit-normal planes through random points, and the same planes moved by a rigid transformation.
Planes planesThrough(const std::vector<Eigen::Vector3d>& normals, const Points& anchors)
{
    Planes planes(4, static_cast<Eigen::Index>(normals.size()));
    for (std::size_t i = 0; i < normals.size(); ++i) {
        const Eigen::Vector3d normal = normals[i].normalized();
        planes.col(static_cast<Eigen::Index>(i)) << normal, -normal.dot(anchors.col(static_cast<Eigen::Index>(i)));
    }
    return planes;
}

Planes transformPlanes(const Mat4& transformation, const Planes& planes)
{
    Planes moved = transformation.inverse().transpose() * planes;
    for (Eigen::Index i = 0; i < moved.cols(); ++i)
        moved.col(i) /= moved.col(i).head<3>().norm();
    return moved;
}

double relativeError(const Mat4& estimated, const Mat4& truth) { return (estimated - truth).norm() / truth.norm(); }

const Planes noPlanes(4, 0);

}  // namespace

struct RecoveryCase {
    const char* name;
    int points;
    int planes;  // normals along x, y, z, then oblique
    bool scaling;
};

class Recovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, FindsTheTransformationThatMadeTheCorrespondences)
{
    const RecoveryCase& c = GetParam();
    const Mat4 truth = similarity({1.0, -2.0, 0.5}, 2.4, {31.0, -12.5, 7.25}, c.scaling ? 1.7 : 1.0);
    const Points moving = randomPoints(c.points, 3);
    const std::vector<Eigen::Vector3d> allNormals = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}, {1, -2, 3}};
    const std::vector<Eigen::Vector3d> normals(allNormals.begin(), allNormals.begin() + c.planes);
    const Planes movingPlanes = planesThrough(normals, randomPoints(c.planes, 5));

    const Alignment alignment =
        c.scaling ? similarityFromPoints(moving, transformPoints(truth, moving))
                  : rigidFromPointsAndPlanes(moving, transformPoints(truth, moving), movingPlanes,
                                             transformPlanes(truth, movingPlanes), 0.8);
    ASSERT_TRUE(alignment.succeeded()) << alignment.failure;
    EXPECT_LT(relativeError(alignment.transformation, truth), 1e-9);
    if (c.points > 0)
        EXPECT_NEAR(rootMeanSquareDistance(moving, transformPoints(truth, moving), alignment.transformation), 0.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    PointSetAlignment, Recovery,
    ::testing::Values(RecoveryCase{"ThreePoints", 3, 0, false}, RecoveryCase{"ManyPoints", 200, 0, false},
                      RecoveryCase{"PointsAndPlanes", 10, 5, false}, RecoveryCase{"TwoPointsOnePlane", 2, 1, false},
                      RecoveryCase{"OnePointTwoPlanes", 1, 2, false}, RecoveryCase{"ThreePlanes", 0, 3, false},
                      RecoveryCase{"FivePlanes", 0, 5, false}, RecoveryCase{"SimilarityThreePoints", 3, 0, true},
                      RecoveryCase{"SimilarityManyPoints", 500, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PointSetAlignment, RigidStaysARotationForMirroredPoints)
{
    Points moving = randomPoints(12, 9);
    Points mirrored = moving;
    mirrored.row(0) *= -1.0;
    const Alignment alignment = rigidFromPointsAndPlanes(moving, mirrored, noPlanes, noPlanes, 1.0);
    ASSERT_TRUE(alignment.succeeded()) << alignment.failure;
    const double determinant = alignment.transformation.topLeftCorner<3, 3>().determinant();
    EXPECT_NEAR(determinant, 1.0, 1e-12);
}

TEST(PointSetAlignment, PlaneWeightZeroIgnoresThePlanes)
{
    const Mat4 truth = similarity({0, 0, 1}, 0.3, {1, 2, 3}, 1.0);
    const Points moving = randomPoints(5, 4);
    // Planes that disagree with the points would pull the estimate away if they counted.
    const Planes planes = planesThrough({{1, 0, 0}, {0, 1, 0}}, randomPoints(2, 8));
    const Alignment alignment = rigidFromPointsAndPlanes(moving, transformPoints(truth, moving), planes,
                                                         transformPlanes(similarity({1, 0, 0}, 1.0, {9, 9, 9}, 1.0), planes), 0.0);
    ASSERT_TRUE(alignment.succeeded()) << alignment.failure;
    EXPECT_LT(relativeError(alignment.transformation, truth), 1e-9);
}

struct FailureCase {
    const char* name;
    Points moving;
    Planes planes;
    double planeWeight;
    bool scaling;
    const char* message;  // part of the failure message
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, SaysWhatIsMissing)
{
    const FailureCase& c = GetParam();
    const Mat4 shift = similarity({0, 1, 0}, 0.2, {5, 0, 0}, 1.0);
    const Points fixed = transformPoints(shift, c.moving);
    const Alignment alignment = c.scaling ? similarityFromPoints(c.moving, fixed)
                                          : rigidFromPointsAndPlanes(c.moving, fixed, c.planes,
                                                                     transformPlanes(shift, c.planes), c.planeWeight);
    EXPECT_FALSE(alignment.succeeded());
    EXPECT_NE(alignment.failure.find(c.message), std::string::npos) << alignment.failure;
}

namespace {

Points line(int count)
{
    Points points(3, count);
    for (int i = 0; i < count; ++i)
        points.col(i) = Eigen::Vector3d(1.0, 2.0, 3.0) + i * Eigen::Vector3d(0.3, -1.0, 2.0);
    return points;
}

Points onePlace(int count) { return Points::Constant(3, count, 4.5); }

Planes parallelPlanes() { return planesThrough({{0, 0, 1}, {0, 0, 2}}, randomPoints(2, 1)); }

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    PointSetAlignment, Failure,
    ::testing::Values(
        FailureCase{"NoPairs", Points(3, 0), noPlanes, 1.0, false, "no point pairs and no plane pairs"},
        FailureCase{"TwoPoints", randomPoints(2, 2), noPlanes, 1.0, false, "2 point pairs (all on one line)"},
        FailureCase{"PointsOnALine", line(6), noPlanes, 1.0, false, "6 point pairs (all on one line)"},
        FailureCase{"PointsInOnePlace", onePlace(4), noPlanes, 1.0, false, "4 point pairs (all in one place)"},
        FailureCase{"ParallelPlanes", Points(3, 0), parallelPlanes(), 1.0, false, "normals all parallel"},
        FailureCase{"TwoPlanesNoPoint", Points(3, 0), planesThrough({{1, 0, 0}, {0, 1, 0}}, randomPoints(2, 1)), 1.0,
                    false, "do not determine a translation"},
        FailureCase{"WeightlessPlanes", Points(3, 0), planesThrough({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, randomPoints(3, 1)),
                    0.0, false, "no point pairs and no plane pairs"},
        FailureCase{"NegativeWeight", randomPoints(4, 2), noPlanes, -1.0, false, "must be finite and not negative"},
        FailureCase{"SimilarityTwoPoints", randomPoints(2, 2), noPlanes, 1.0, true, "Too few correspondences"},
        FailureCase{"SimilarityOnALine", line(5), noPlanes, 1.0, true, "moving points are all on one line"},
        FailureCase{"SimilarityInOnePlace", onePlace(5), noPlanes, 1.0, true, "all in one place"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PointSetAlignment, SimilarityRefusesFixedPointsInOnePlace)
{
    const Alignment alignment = similarityFromPoints(randomPoints(5, 1), onePlace(5));
    EXPECT_NE(alignment.failure.find("fixed points are all in one place"), std::string::npos) << alignment.failure;
}

TEST(PointSetAlignment, RootMeanSquareOfNoPointsIsNotANumber)
{
    EXPECT_TRUE(std::isnan(rootMeanSquareDistance(Points(3, 0), Points(3, 0))));
    Points moving(3, 2), fixed(3, 2);
    moving << 0, 0, 0, 0, 0, 0;
    fixed << 3, 0, 4, 0, 0, 0;
    EXPECT_DOUBLE_EQ(rootMeanSquareDistance(moving, fixed), std::sqrt((9.0 + 16.0) / 2.0));
}
