#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <climits>
#include <cstddef>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace corvaxis::surface {

namespace {

/// A corner of a grid cube: bit 0 is +x, bit 1 is +y, bit 2 is +z.
using Corner = int;

Eigen::Vector3i cornerPosition(Corner corner) { return {corner & 1, (corner >> 1) & 1, (corner >> 2) & 1}; }

/// The twelve cube edges, four per axis, each from its lower corner along the axis.
struct CubeEdge {
    Corner lower;
    int axis;
};

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

constexpr std::array<CubeEdge, 12> cubeEdges = makeCubeEdges();

int edgeBetween(Corner a, Corner b)
{
    const Corner lower = a & b;
    const int axis = (a ^ b) == 1 ? 0 : (a ^ b) == 2 ? 1 : 2;
    for (int edge = 0; edge < 12; ++edge)
        if (cubeEdges[static_cast<std::size_t>(edge)].lower == lower && cubeEdges[static_cast<std::size_t>(edge)].axis == axis)
            return edge;
    throw std::logic_error("corners not joined by a cube edge");
}

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

/// For each of the 256 inside/outside patterns of a cube's corners, its triangles as triples of
/// cube edges, counter-clockwise seen from outside.
struct CaseTable {
    std::array<std::array<std::uint8_t, 15>, 256> edges{};
    std::array<std::uint8_t, 256> triangleCount{};
};

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
        for (int edge = start; !used[static_cast<std::size_t>(edge)]; edge = successor[static_cast<std::size_t>(edge)]) {
            used[static_cast<std::size_t>(edge)] = true;
            polygon.push_back(edge);
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

const CaseTable& caseTable()
{
    static const CaseTable table = [] {
        CaseTable built;
        for (int pattern = 0; pattern < 256; ++pattern)
            addCase(built, pattern);
        return built;
    }();
    return table;
}

/// The pattern bits of a cube from the four corner bits of its left and right point columns:
/// column bit j (y = j & 1, z = j >> 1) is corner 2 j on the left and 2 j + 1 on the right.
constexpr std::array<std::uint8_t, 16> spreadColumn = [] {
    std::array<std::uint8_t, 16> spread{};
    for (int bits = 0; bits < 16; ++bits)
        for (int j = 0; j < 4; ++j)
            if (bits >> j & 1)
                spread[static_cast<std::size_t>(bits)] |= static_cast<std::uint8_t>(1 << (2 * j));
    return spread;
}();

}  // namespace

TriangleSurface extractSurface(const BinaryMask& mask, const Mat4& indexToWorld)
{
    const auto [nx, ny, nz] = mask.dimensions;
    if (nx < 1 || ny < 1 || nz < 1 ||
        mask.inside.size() != static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz))
        throw std::invalid_argument("the mask's size does not match its dimensions");

    // Grid points of the padded grid: the mask plus one outside voxel on every side.
    const std::int64_t px = nx + 2, py = ny + 2, pz = nz + 2;
    const std::vector<std::uint8_t> outsideRow(static_cast<std::size_t>(nx), 0);
    const auto maskRow = [&](std::int64_t y, std::int64_t z) {
        if (y < 1 || z < 1 || y > ny || z > nz)
            return outsideRow.data();
        return mask.inside.data() + ((z - 1) * ny + (y - 1)) * nx;
    };

    const CaseTable& table = caseTable();
    const Eigen::Matrix3d linear = indexToWorld.topLeftCorner<3, 3>();
    // The world position of padded grid point (0, 0, 0), one voxel before the mask's first.
    const Vec3 origin = indexToWorld.topRightCorner<3, 1>() - linear * Vec3::Ones();
    // A left-handed mapping mirrors the surface; swapping two corners keeps the normals outward.
    const bool mirrored = linear.determinant() < 0.0;

    // Vertex numbers of the edges starting at the points of the cube layer's bottom and top point
    // layers, three per point (along x, y, z). A number is current when it was made while the
    // edge's layer was being meshed; older ones are left over and need no clearing.
    const std::size_t layerSlots = static_cast<std::size_t>(px * py * 3);
    std::vector<std::int32_t> bottom(layerSlots, -1), top(layerSlots, -1);
    std::vector<double> positions;
    std::vector<std::int32_t> faces;

    std::vector<std::uint8_t> columnBits(static_cast<std::size_t>(px), 0);
    std::int32_t previousLayerStart = 0;
    for (std::int64_t z = 0; z + 1 < pz; ++z) {
        const auto layerStart = static_cast<std::int32_t>(positions.size() / 3);
        for (std::int64_t y = 0; y + 1 < py; ++y) {
            const std::uint8_t* rows[4] = {maskRow(y, z), maskRow(y + 1, z), maskRow(y, z + 1), maskRow(y + 1, z + 1)};
            if (rows[0] == outsideRow.data() && rows[1] == outsideRow.data() && rows[2] == outsideRow.data() &&
                rows[3] == outsideRow.data())
                continue;
            // Columns 0 and px - 1 are padding and stay outside.
            for (std::int64_t x = 1; x <= nx; ++x)
                columnBits[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(
                    (rows[0][x - 1] != 0) | (rows[1][x - 1] != 0) << 1 | (rows[2][x - 1] != 0) << 2 |
                    (rows[3][x - 1] != 0) << 3);
            for (std::int64_t x = 0; x + 1 < px; ++x) {
                const int pattern = spreadColumn[columnBits[static_cast<std::size_t>(x)]] |
                                    spreadColumn[columnBits[static_cast<std::size_t>(x + 1)]] << 1;
                if (pattern == 0 || pattern == 255)
                    continue;
                const int triangleCount = table.triangleCount[static_cast<std::size_t>(pattern)];
                const auto& edges = table.edges[static_cast<std::size_t>(pattern)];
                for (int corner = 0; corner < 3 * triangleCount; ++corner) {
                    const CubeEdge& edge = cubeEdges[edges[static_cast<std::size_t>(corner)]];
                    const std::int64_t ex = x + (edge.lower & 1), ey = y + (edge.lower >> 1 & 1);
                    const bool onTop = (edge.lower & 4) != 0;
                    std::int32_t& slot = (onTop ? top : bottom)[static_cast<std::size_t>((ey * px + ex) * 3 + edge.axis)];
                    // Edges in the bottom point layer along x or y were made by the layer below.
                    const std::int32_t current = !onTop && edge.axis != 2 ? previousLayerStart : layerStart;
                    if (slot < current) {
                        if (positions.size() / 3 >= static_cast<std::size_t>(INT_MAX))
                            throw std::invalid_argument("the surface needs more vertices than a 32-bit index holds");
                        slot = static_cast<std::int32_t>(positions.size() / 3);
                        Vec3 grid(static_cast<double>(ex), static_cast<double>(ey), static_cast<double>(z + onTop));
                        grid[edge.axis] += 0.5;
                        const Vec3 world = linear * grid + origin;
                        positions.insert(positions.end(), {world.x(), world.y(), world.z()});
                    }
                    faces.push_back(slot);
                }
            }
        }
        std::swap(bottom, top);
        previousLayerStart = layerStart;
    }

    TriangleSurface surface;
    surface.vertices.resize(static_cast<Eigen::Index>(positions.size() / 3), 3);
    if (!positions.empty())
        std::memcpy(surface.vertices.data(), positions.data(), positions.size() * sizeof(double));
    surface.faces.resize(static_cast<Eigen::Index>(faces.size() / 3), 3);
    if (!faces.empty())
        std::memcpy(surface.faces.data(), faces.data(), faces.size() * sizeof(std::int32_t));
    if (mirrored)
        surface.faces.col(1).swap(surface.faces.col(2));
    return surface;
}

double enclosedVolume(const Points& vertices, const Triangles& faces)
{
    double sixfold = 0.0;
    for (Eigen::Index i = 0; i < faces.rows(); ++i) {
        const Eigen::Vector3d a = vertices.row(faces(i, 0)).transpose();
        const Eigen::Vector3d b = vertices.row(faces(i, 1)).transpose();
        const Eigen::Vector3d c = vertices.row(faces(i, 2)).transpose();
        sixfold += a.dot(b.cross(c));
    }
    return sixfold / 6.0;
}

}  // namespace corvaxis::surface
