#include "CubeCases.h"

#include <Eigen/Geometry>

#include <climits>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <vector>

namespace corvaxis::surface::cases {

namespace {

Eigen::Vector3i cornerPosition(Corner corner) { return {corner & 1, (corner >> 1) & 1, (corner >> 2) & 1}; }

constexpr std::array<CubeEdge, 12> makeCubeEdges()
{
    std::array<CubeEdge, 12> edges{};
    int next = 0;
    for (int axis = 0; axis < 3; ++axis)
        for (Corner corner = 0; corner < 8; ++corner)
            if (!(corner >> axis & 1))
                edges[static_cast<std::size_t>(next++)] = {corner, axis};
    return edges;
}

}  // namespace

const std::array<CubeEdge, 12> cubeEdges = makeCubeEdges();

int edgeBetween(Corner a, Corner b)
{
    const Corner lower = a & b;
    const int axis = (a ^ b) == 1 ? 0 : (a ^ b) == 2 ? 1 : 2;
    for (int edge = 0; edge < 12; ++edge)
        if (cubeEdges[static_cast<std::size_t>(edge)].lower == lower && cubeEdges[static_cast<std::size_t>(edge)].axis == axis)
            return edge;
    throw std::logic_error("corners not joined by a cube edge");
}

namespace {

/// Twice the position of an edge's middle, so that it is exact in integers.
Eigen::Vector3i doubledMiddle(int edge)
{
    const CubeEdge& cubeEdge = cubeEdges[static_cast<std::size_t>(edge)];
    return 2 * cornerPosition(cubeEdge.lower) + Eigen::Vector3i::Unit(cubeEdge.axis);
}

/// Whether two cube edges lie on a common face of the cube.
bool shareFace(int a, int b)
{
    const Eigen::Vector3i pa = doubledMiddle(a), pb = doubledMiddle(b);
    for (int axis = 0; axis < 3; ++axis)
        if (pa[axis] == pb[axis] && pa[axis] != 1)
            return true;
    return false;
}

/// The marching cubes case of one pattern. On each cube face the surface crosses the face in
/// segments between the middles of its mixed edges; on a face whose inside corners lie diagonally
/// the segments cut off the inside corners. Both cubes sharing a face see the same segments, which
/// closes the surface. The segments chain into polygons, each split into a fan of triangles.
void addCase(CaseTable& table, int pattern)
{
    const auto inside = [&](Corner corner) { return (pattern >> corner & 1) != 0; };
    std::array<int, 12> successor;
    successor.fill(-1);
    for (int axis = 0; axis < 3; ++axis)
        for (int side = 0; side < 2; ++side) {
            const int u = (axis + 1) % 3, v = (axis + 2) % 3;
            const Corner base = side << axis;
            const std::array<Corner, 4> around = {base, base | 1 << u, base | 1 << u | 1 << v, base | 1 << v};
            const Eigen::Vector3i faceNormal = (side ? 1 : -1) * Eigen::Vector3i::Unit(axis);
            std::array<int, 4> mixed{};
            int mixedCount = 0;
            for (int k = 0; k < 4; ++k)
                if (inside(around[static_cast<std::size_t>(k)]) != inside(around[static_cast<std::size_t>((k + 1) % 4)]))
                    mixed[static_cast<std::size_t>(mixedCount++)] = k;
            // Segments as (edge before the inside corner, edge after it, inside corner).
            std::vector<std::array<int, 3>> segments;
            const auto sideEdge = [&](int k) {
                return edgeBetween(around[static_cast<std::size_t>(k % 4)], around[static_cast<std::size_t>((k + 1) % 4)]);
            };
            if (mixedCount == 2) {
                Corner insideCorner = -1;
                for (Corner corner : around)
                    if (inside(corner))
                        insideCorner = corner;
                segments.push_back({sideEdge(mixed[0]), sideEdge(mixed[1]), insideCorner});
            }
            else if (mixedCount == 4) {
                for (int k = 0; k < 4; ++k)
                    if (inside(around[static_cast<std::size_t>(k)]))
                        segments.push_back({sideEdge(k + 3), sideEdge(k), around[static_cast<std::size_t>(k)]});
            }
            for (auto [from, to, insideCorner] : segments) {
                // Outward: walking from `from` to `to`, the inside corner is on the right seen from
                // outside the cube face.
                const Eigen::Vector3i p = doubledMiddle(from), q = doubledMiddle(to);
                const Eigen::Vector3i toCorner = 2 * cornerPosition(insideCorner) - p;
                if ((q - p).cross(toCorner).dot(faceNormal) > 0)
                    std::swap(from, to);
                successor[static_cast<std::size_t>(from)] = to;
            }
        }

    std::array<bool, 12> used{};
    int triangles = 0;
    for (int start = 0; start < 12; ++start) {
        if (successor[static_cast<std::size_t>(start)] < 0 || used[static_cast<std::size_t>(start)])
            continue;
        std::vector<int> polygon;
        const int polygonNumber = table.polygonCount[static_cast<std::size_t>(pattern)]++;
        for (int edge = start; !used[static_cast<std::size_t>(edge)]; edge = successor[static_cast<std::size_t>(edge)]) {
            used[static_cast<std::size_t>(edge)] = true;
            polygon.push_back(edge);
            table.polygonOfEdge[static_cast<std::size_t>(pattern)][static_cast<std::size_t>(edge)] =
                static_cast<std::int8_t>(polygonNumber);
        }
        // The fan whose smallest triangle is largest, among fans whose diagonals stay off the cube
        // faces (a diagonal on a face would be shared with the neighbouring cube's triangles).
        const int size = static_cast<int>(polygon.size());
        std::optional<int> bestApex;
        long bestArea = 0;
        for (int apex = 0; apex < size; ++apex) {
            long smallest = LONG_MAX;
            bool onFace = false;
            for (int k = 1; k + 1 < size; ++k) {
                const int a = polygon[static_cast<std::size_t>(apex)];
                const int b = polygon[static_cast<std::size_t>((apex + k) % size)];
                const int c = polygon[static_cast<std::size_t>((apex + k + 1) % size)];
                if (k > 1 && shareFace(a, b))
                    onFace = true;
                const Eigen::Vector3i normal = (doubledMiddle(b) - doubledMiddle(a)).cross(doubledMiddle(c) - doubledMiddle(a));
                smallest = std::min<long>(smallest, normal.squaredNorm());
            }
            if (!onFace && smallest > bestArea) {
                bestArea = smallest;
                bestApex = apex;
            }
        }
        if (!bestApex)
            throw std::logic_error("a marching cubes polygon without a valid fan");
        for (int k = 1; k + 1 < size; ++k) {
            auto& slots = table.edges[static_cast<std::size_t>(pattern)];
            slots[static_cast<std::size_t>(3 * triangles)] = static_cast<std::uint8_t>(polygon[static_cast<std::size_t>(*bestApex)]);
            slots[static_cast<std::size_t>(3 * triangles + 1)] =
                static_cast<std::uint8_t>(polygon[static_cast<std::size_t>((*bestApex + k) % size)]);
            slots[static_cast<std::size_t>(3 * triangles + 2)] =
                static_cast<std::uint8_t>(polygon[static_cast<std::size_t>((*bestApex + k + 1) % size)]);
            ++triangles;
        }
    }
    table.triangleCount[static_cast<std::size_t>(pattern)] = static_cast<std::uint8_t>(triangles);
}

/// Marks the faces whose two segments (a face with diagonal inside corners) belong to one polygon.
void addDoubleFaces(CaseTable& table, int pattern)
{
    for (int axis = 0; axis < 3; ++axis)
        for (int side = 0; side < 2; ++side) {
            const int u = (axis + 1) % 3, v = (axis + 2) % 3;
            const Corner base = side << axis;
            const std::array<Corner, 4> around = {base, base | 1 << u, base | 1 << u | 1 << v, base | 1 << v};
            std::array<bool, 4> inside{};
            for (std::size_t k = 0; k < 4; ++k)
                inside[k] = (pattern >> around[k] & 1) != 0;
            if (inside[0] != inside[2] || inside[1] != inside[3] || inside[0] == inside[1])
                continue;  // not a face with diagonal inside corners
            // Each segment crosses the two edges at one inside corner.
            std::array<int, 2> polygons{};
            int found = 0;
            for (std::size_t k = 0; k < 4; ++k)
                if (inside[k])
                    polygons[static_cast<std::size_t>(found++)] =
                        table.polygonOfEdge[static_cast<std::size_t>(pattern)][static_cast<std::size_t>(
                            edgeBetween(around[k], around[(k + 1) % 4]))];
            if (polygons[0] == polygons[1])
                table.doubleFaces[static_cast<std::size_t>(pattern)] |= static_cast<std::uint8_t>(1 << (2 * axis + side));
        }
}

}  // namespace

const CaseTable& caseTable()
{
    static const CaseTable table = [] {
        CaseTable built;
        for (auto& polygons : built.polygonOfEdge)
            polygons.fill(-1);
        for (int pattern = 0; pattern < 256; ++pattern) {
            addCase(built, pattern);
            addDoubleFaces(built, pattern);
        }
        return built;
    }();
    return table;
}

}  // namespace corvaxis::surface::cases
