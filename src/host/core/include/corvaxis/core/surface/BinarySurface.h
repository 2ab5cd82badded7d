#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// Surfaces of voxel regions by marching cubes (Lorensen and Cline): the surface crosses every
// edge between an inside and an outside voxel centre at its middle, and each cube between eight
// voxel centres holds the triangles of its case. The case table is derived from one rule per cube
// face: on a face whose two inside corners lie diagonally, the surface keeps them apart. Both
// cubes sharing a face follow the same rule, so the result is a closed 2-manifold whose separate
// shells are the face-connected (6-connected) parts of the region.
namespace corvaxis::surface {

/// Voxels of a box, x fastest, then y, then z; nonzero means inside.
struct BinaryMask {
    std::array<int, 3> dimensions{};
    std::vector<std::uint8_t> inside;
};

struct TriangleSurface {
    Points vertices;
    Triangles faces;
};

/// The closed surface around the mask's inside voxels, with outward normals (counter-clockwise
/// seen from outside) also for a left-handed `indexToWorld`. Everything beyond the mask counts as
/// outside, so regions touching its border are closed. `indexToWorld` maps the voxel index
/// (x, y, z, 1) of the mask to world coordinates. Separate regions give separate shells.
/// Deterministic: the same mask gives the same surface, bit for bit.
/// Throws std::invalid_argument when the mask's size does not match its dimensions or the
/// surface would need more vertices than a 32-bit index holds. `progress`, when given, is called
/// on the calling thread before each slice of cubes with the fraction done; an exception it
/// throws stops the work and propagates.
TriangleSurface extractSurface(const BinaryMask& mask, const Mat4& indexToWorld,
                               const std::function<void(double)>& progress = {});

/// The volume a closed, outward-oriented surface encloses (divergence theorem).
double enclosedVolume(const Points& vertices, const Triangles& faces);

}  // namespace corvaxis::surface
