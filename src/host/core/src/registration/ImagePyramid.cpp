#include "RigidImageMetric.h"

#include <algorithm>

// The resolution pyramid: each level smoothed and half the size of the next finer one.

namespace corvaxis::registration {

Volume halved(const Volume& volume)
{
    // Binomial 1-2-1 smoothing along each axis (clamped at the borders), then every second pixel.
    Volume smooth = volume;
    const auto& d = volume.dimensions;
    for (int axis = 0; axis < 3; ++axis) {
        const Volume source = smooth;
        for (int z = 0; z < d[2]; ++z)
            for (int y = 0; y < d[1]; ++y)
                for (int x = 0; x < d[0]; ++x) {
                    int p[3] = {x, y, z}, lo[3] = {x, y, z}, hi[3] = {x, y, z};
                    lo[axis] = std::max(p[axis] - 1, 0);
                    hi[axis] = std::min(p[axis] + 1, d[static_cast<std::size_t>(axis)] - 1);
                    smooth.values[(static_cast<std::size_t>(z) * d[1] + y) * d[0] + x] =
                        0.25f * source.at(lo[0], lo[1], lo[2]) + 0.5f * source.at(x, y, z) + 0.25f * source.at(hi[0], hi[1], hi[2]);
                }
    }
    Volume result;
    for (int a = 0; a < 3; ++a)
        result.dimensions[static_cast<std::size_t>(a)] = (d[static_cast<std::size_t>(a)] + 1) / 2;
    result.values.resize(static_cast<std::size_t>(result.dimensions[0]) * result.dimensions[1] * result.dimensions[2]);
    std::size_t i = 0;
    for (int z = 0; z < result.dimensions[2]; ++z)
        for (int y = 0; y < result.dimensions[1]; ++y)
            for (int x = 0; x < result.dimensions[0]; ++x)
                result.values[i++] = smooth.at(2 * x, 2 * y, 2 * z);
    result.pixelToWorld = volume.pixelToWorld;
    result.pixelToWorld.topLeftCorner<3, 3>() *= 2.0;
    return result;
}

}  // namespace corvaxis::registration
