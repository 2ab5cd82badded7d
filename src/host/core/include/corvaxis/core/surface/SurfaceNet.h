#pragma once

#include "corvaxis/core/surface/BinarySurface.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// Smooth surfaces of voxel regions. Each region's marching cubes surface is turned into its dual:
// one vertex per marching cubes polygon (so one per cube the surface passes, or more where the
// cube's case separates several polygons) and one quadrilateral around every edge between an
// inside and an outside voxel centre. The dual of a closed 2-manifold is one, with the same
// Euler number and shells, so the net keeps the voxels' topology as marching cubes resolves it,
// with about the same number of triangles. Its vertices then move by Laplacian smoothing, the
// regions of one label image together, so that touching regions share one interface, and each
// region's enclosed volume is restored to its voxels' volume.
namespace corvaxis::surface {

/// What lies across one crossing edge of a region's net: the other region's number, or
/// `outsideRegion` for voxels of no region.
constexpr std::int32_t outsideRegion = -1;

/// One region's net before smoothing, in world coordinates.
struct SurfaceNet {
    Points vertices;  // the centroid of the edge middles of the vertex's polygon
    /// Outward polygons (counter-clockwise seen from outside) as vertex numbers: polygon p is
    /// polygonVertices[polygonStart[p]] up to polygonVertices[polygonStart[p + 1]]. Mostly
    /// quadrilaterals; where a cube face holds two segments of one polygon in both cubes beside it,
    /// the two polygons would be joined by two sides, so each such side gets a vertex of its own
    /// in its middle (the quadrilaterals beside it become pentagons or hexagons).
    std::vector<std::int32_t> polygonStart{0};
    std::vector<std::int32_t> polygonVertices;
    std::size_t polygonCount() const { return polygonStart.size() - 1; }
    /// Per vertex: whether it is the middle of a doubled side. Its two polygons are fanned from
    /// it, which adds no second edge between the polygons' other vertices.
    std::vector<std::uint8_t> sideMiddle;
    /// Per vertex: the single region its polygon's crossing edges lead to, or `severalRegions`
    /// where they lead to more than one (the vertex lies on a line where three regions meet).
    std::vector<std::int32_t> across;
    /// Vertices whose polygon crosses an edge towards another region, keyed by that cube and
    /// edge in the whole image (the same key in both regions' nets).
    struct Contact {
        std::int64_t key;
        std::int32_t vertex;
    };
    std::vector<Contact> contacts;

    static constexpr std::int32_t severalRegions = -2;
};

/// Where a region's mask lies in the label image: the image's voxel dimensions and the image
/// voxel of the mask's first voxel.
struct MaskPlacement {
    std::array<int, 3> imageDimensions{};
    std::array<int, 3> lower{};
};

/// The net of the mask's inside voxels. `regionOf` gives the region of a voxel outside the mask
/// (in image voxel coordinates within the image), asked only for voxels next to the mask's
/// surface; voxels beyond the image are outside. Quadrilaterals face outward also for a
/// left-handed `indexToWorld`. Throws std::invalid_argument as extractSurface. `progress`, when
/// given, is called on the calling thread before each slice of cubes with the fraction done; an
/// exception it throws stops the work and propagates.
SurfaceNet extractSurfaceNet(const BinaryMask& mask, const Mat4& indexToWorld, const MaskPlacement& placement,
                             const std::function<std::int32_t(int, int, int)>& regionOf,
                             const std::function<void(double)>& progress = {});

struct SmoothingOptions {
    /// Laplacian steps, each moving a vertex half way to the mean of its neighbours.
    int iterations = 10;
};

/// The smoothed, triangulated surfaces of the regions whose nets are given (region r is
/// nets[r]); each quadrilateral becomes two triangles across its shorter diagonal, a larger
/// polygon the fan from its side middle. Vertices that touching regions share get one position and appear in both
/// surfaces; lines where three regions meet are smoothed along themselves only, so that they
/// stay where the voxels put them. Each region's enclosed volume is then moved to its target
/// by an offset of its vertices that touch no other region along their normals.
/// `goOn` is called between steps with the fraction done; returning false stops the work and
/// the result is empty.
std::vector<TriangleSurface> smoothSurfaceNets(const std::vector<SurfaceNet>& nets,
                                               const std::vector<double>& targetVolumes,
                                               const SmoothingOptions& options,
                                               const std::function<bool(double)>& goOn);

}  // namespace corvaxis::surface
