#pragma once

#include "corvaxis/core/Types.h"
#include "corvaxis/core/registration/PointSetAlignment.h"

namespace corvaxis {

/// Columns of points moved by a transformation.
inline registration::Points movedPoints(const Mat4& transformation, const registration::Points& points)
{
    return (transformation.topLeftCorner<3, 3>() * points).colwise() + transformation.topRightCorner<3, 1>();
}

}  // namespace corvaxis
