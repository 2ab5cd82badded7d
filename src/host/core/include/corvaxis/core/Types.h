#pragma once

#include <Eigen/Core>

namespace corvaxis {

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Vec4 = Eigen::Vector4d;
using Mat4 = Eigen::Matrix4d;

}  // namespace corvaxis
