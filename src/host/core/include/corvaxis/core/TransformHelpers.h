#pragma once

#include "corvaxis/core/Types.h"

namespace corvaxis::TransformHelpers {

/// Expresses a world point in the frame whose local-to-world matrix is given; a null matrix is
/// the identity frame, so the point is copied unchanged.
void worldToLocal(const Vec3& world, const Mat4* localToWorld, Vec3& local);

/// A plane (normal n, offset d: n.x + d = 0) in the given frame; null again means identity.
void worldToLocal(const Vec4& world, const Mat4* localToWorld, Vec4& local);

}  // namespace corvaxis::TransformHelpers
