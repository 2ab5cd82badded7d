#include "RigidImageMetric.h"

#include <Eigen/Geometry>

namespace corvaxis::registration {

namespace {

Eigen::Matrix3d rotationFromVector(const Vec3& v)
{
    const double angle = v.norm();
    return angle > 0.0 ? Eigen::AngleAxisd(angle, v / angle).toRotationMatrix() : Eigen::Matrix3d::Identity();
}

}  // namespace

RigidPose RigidPose::moved(const Vec3& rotationVector, const Vec3& shift) const
{
    RigidPose next = *this;
    next.rotation = rotationFromVector(rotationVector) * rotation;
    next.translation += shift;
    return next;
}

Mat4 RigidPose::movingToFixed() const
{
    // y = R (x - c) + c + t, so x = R^T (y - c - t) + c.
    Mat4 m = Mat4::Identity();
    m.topLeftCorner<3, 3>() = rotation.transpose();
    m.topRightCorner<3, 1>() = centre - rotation.transpose() * (centre + translation);
    return m;
}

}  // namespace corvaxis::registration
