#include "corvaxis/core/TransformHelpers.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

namespace corvaxis::TransformHelpers {

void worldToLocal(const Vec3& world, const Mat4* localToWorld, Vec3& local)
{
    if (!localToWorld) {
        local = world;
        return;
    }
    const Eigen::Vector4d homogeneous = localToWorld->inverse() * world.homogeneous();
    local = homogeneous.head<3>() / homogeneous[3];
}

void worldToLocal(const Vec4& world, const Mat4* localToWorld, Vec4& local)
{
    if (!localToWorld) {
        local = world;
        return;
    }
    // Planes are covectors: they map with the transpose of the point transform.
    local = localToWorld->transpose() * world;
}

}  // namespace corvaxis::TransformHelpers
