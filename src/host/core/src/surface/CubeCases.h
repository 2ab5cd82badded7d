#pragma once

#include <Eigen/Core>

#include <array>
#include <cstdint>

// The marching cubes cases shared by the voxel surface and the smooth surface net. The case of a
// cube is the pattern of its inside corners; its surface polygons cross the cube's mixed edges.
namespace corvaxis::surface::cases {

/// A corner of a grid cube: bit 0 is +x, bit 1 is +y, bit 2 is +z.
using Corner = int;

/// A cube edge from its lower corner along an axis.
struct CubeEdge {
    Corner lower;
    int axis;
};

/// The twelve cube edges, four per axis.
extern const std::array<CubeEdge, 12> cubeEdges;

/// The edge joining two corners that differ along one axis.
int edgeBetween(Corner a, Corner b);

/// For each of the 256 inside/outside patterns of a cube's corners: its triangles as triples of
/// cube edges, counter-clockwise seen from outside, and the polygon each mixed edge belongs to
/// (the polygons before they are split into triangles; -1 for edges the surface does not cross).
struct CaseTable {
    std::array<std::array<std::uint8_t, 15>, 256> edges{};
    std::array<std::uint8_t, 256> triangleCount{};
    std::array<std::array<std::int8_t, 12>, 256> polygonOfEdge{};
    std::array<std::uint8_t, 256> polygonCount{};
    /// Bit 2 axis + side: the cube face (normal along axis, at the lower or upper side) holds two
    /// segments, both of one polygon.
    std::array<std::uint8_t, 256> doubleFaces{};
};

const CaseTable& caseTable();

/// The pattern bits of a cube from the four corner bits of its left and right point columns:
/// column bit j (y = j & 1, z = j >> 1) is corner 2 j on the left and 2 j + 1 on the right.
inline constexpr std::array<std::uint8_t, 16> spreadColumn = [] {
    std::array<std::uint8_t, 16> spread{};
    for (int bits = 0; bits < 16; ++bits)
        for (int j = 0; j < 4; ++j)
            if (bits >> j & 1)
                spread[static_cast<std::size_t>(bits)] |= static_cast<std::uint8_t>(1 << (2 * j));
    return spread;
}();

}  // namespace corvaxis::surface::cases
