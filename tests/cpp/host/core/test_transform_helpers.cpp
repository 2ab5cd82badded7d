#include "corvaxis/core/TransformHelpers.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

using corvaxis::Mat4;
using corvaxis::Vec3;
using corvaxis::Vec4;
using corvaxis::TransformHelpers::worldToLocal;

namespace {
Mat4 rigid()
{
    Eigen::Affine3d transform = Eigen::Translation3d(10, -4, 2.5) *
                                Eigen::AngleAxisd(0.7, Vec3(1, 2, 3).normalized());
    return transform.matrix();
}

Mat4 affine()
{
    Eigen::Affine3d transform = Eigen::Translation3d(1, 2, 3) * Eigen::AngleAxisd(-1.1, Vec3::UnitY()) *
                                Eigen::Scaling(2.0, 0.5, 3.0);
    return transform.matrix();
}

double planeValue(const Vec4& plane, const Vec3& point) { return plane.head<3>().dot(point) + plane[3]; }
}  // namespace

TEST(WorldToLocal, NullMatrixCopies)
{
    Vec3 point;
    worldToLocal(Vec3(1, 2, 3), nullptr, point);
    EXPECT_EQ(point, Vec3(1, 2, 3));
    Vec4 plane;
    worldToLocal(Vec4(0, 0, 1, -2), nullptr, plane);
    EXPECT_EQ(plane, Vec4(0, 0, 1, -2));
}

TEST(WorldToLocal, PointsUndoTheLocalToWorldMatrix)
{
    Mat4 translation = Mat4::Identity();
    translation.col(3).head<3>() = Vec3(1, 2, 3);
    Vec3 local;
    worldToLocal(Vec3(1, 2, 3), &translation, local);
    EXPECT_TRUE(local.isZero());

    for (const Mat4& matrix : {rigid(), affine()}) {
        const Vec3 original(0.3, -7, 12);
        const Vec3 world = (matrix * original.homogeneous()).head<3>();
        worldToLocal(world, &matrix, local);
        EXPECT_TRUE(local.isApprox(original, 1e-12)) << local.transpose();
    }
}

TEST(WorldToLocal, PlanesFollowThePoints)
{
    // The world plane z = 2 seen from a frame shifted up by 2 is the local plane z = 0.
    Mat4 lift = Mat4::Identity();
    lift(2, 3) = 2.0;
    Vec4 local;
    worldToLocal(Vec4(0, 0, 1, -2), &lift, local);
    EXPECT_TRUE(local.isApprox(Vec4(0, 0, 1, 0)));

    const Vec4 worldPlane = Vec4(1, -2, 0.5, 0).normalized() + Vec4(0, 0, 0, 4);
    const Vec3 onPlane = -4 * worldPlane.head<3>() / worldPlane.head<3>().squaredNorm();
    const Vec3 offPlane = onPlane + worldPlane.head<3>().normalized();
    ASSERT_NEAR(planeValue(worldPlane, onPlane), 0.0, 1e-12);

    for (const Mat4& matrix : {rigid(), affine()}) {
        worldToLocal(worldPlane, &matrix, local);
        Vec3 onLocal, offLocal;
        worldToLocal(onPlane, &matrix, onLocal);
        worldToLocal(offPlane, &matrix, offLocal);
        EXPECT_NEAR(planeValue(local, onLocal), 0.0, 1e-9);
        EXPECT_GT(planeValue(local, offLocal), 0.0);
    }

    // A rigid frame keeps distances: the normal stays a unit vector.
    worldToLocal(worldPlane, &lift, local);
    EXPECT_NEAR(local.head<3>().norm(), 1.0, 1e-12);
    const Mat4 turn = rigid();
    worldToLocal(worldPlane, &turn, local);
    Vec3 offLocal;
    worldToLocal(offPlane, &turn, offLocal);
    EXPECT_NEAR(planeValue(local, offLocal), 1.0, 1e-9);
}
