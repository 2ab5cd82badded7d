#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <climits>
#include <cstddef>
#include <stdexcept>

namespace corvaxis::surface {

namespace {

/// A corner of a grid cube: bit 0 is +x, bit 1 is +y, bit 2 is +z.
using Corner = int;

/// An edge of the tetrahedra, from the lower corner along one of seven directions (a nonzero
/// corner bit set); the upper corner is lower | direction.
struct CubeEdge {
    Corner lower;
    int direction;
};

struct TriangleOnEdges {
    std::array<CubeEdge, 3> edges;
};

/// For each of the 256 inside/outside patterns of a cube's corners, the triangles it holds.
struct CaseTable {
    std::array<std::vector<TriangleOnEdges>, 256> triangles;
};

Eigen::Vector3i cornerPosition(Corner corner) { return {corner & 1, (corner >> 1) & 1, (corner >> 2) & 1}; }

CubeEdge edgeBetween(Corner a, Corner b)
{
    const Corner lower = (a & b) == a ? a : b;
    return {lower, a ^ b};
}

/// Twice the position of an edge's middle, so that it is exact in integers.
Eigen::Vector3i doubledMiddle(const CubeEdge& edge)
{
    return cornerPosition(edge.lower) + cornerPosition(edge.lower | edge.direction);
}

CaseTable buildCaseTable()
{
    CaseTable table;
    // The six tetrahedra: paths from corner 0 to corner 7 along the axes in each order.
    std::vector<std::array<Corner, 4>> tetrahedra;
    const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& order : orders)
        tetrahedra.push_back({0, 1 << order[0], (1 << order[0]) | (1 << order[1]), 7});

    for (int pattern = 0; pattern < 256; ++pattern) {
        for (const auto& tetrahedron : tetrahedra) {
            std::vector<Corner> in, out;
            for (Corner corner : tetrahedron)
                ((pattern >> corner) & 1 ? in : out).push_back(corner);
            if (in.empty() || out.empty())
                continue;
            std::vector<std::array<CubeEdge, 3>> pieces;
            if (in.size() == 1)
                pieces.push_back({edgeBetween(in[0], out[0]), edgeBetween(in[0], out[1]), edgeBetween(in[0], out[2])});
            else if (out.size() == 1)
                pieces.push_back({edgeBetween(out[0], in[0]), edgeBetween(out[0], in[1]), edgeBetween(out[0], in[2])});
            else {
                // The crossing is a parallelogram through the middles of the four mixed edges.
                const CubeEdge ac = edgeBetween(in[0], out[0]), ad = edgeBetween(in[0], out[1]);
                const CubeEdge bd = edgeBetween(in[1], out[1]), bc = edgeBetween(in[1], out[0]);
                pieces.push_back({ac, ad, bd});
                pieces.push_back({ac, bd, bc});
            }
            // Outward: from the inside corners towards the outside ones (both scaled to be integral).
            Eigen::Vector3i inSum = Eigen::Vector3i::Zero(), outSum = Eigen::Vector3i::Zero();
            for (Corner corner : in)
                inSum += cornerPosition(corner);
            for (Corner corner : out)
                outSum += cornerPosition(corner);
            const Eigen::Vector3i outward =
                outSum * static_cast<int>(in.size()) - inSum * static_cast<int>(out.size());
            for (auto& piece : pieces) {
                const Eigen::Vector3i p0 = doubledMiddle(piece[0]), p1 = doubledMiddle(piece[1]),
                                      p2 = doubledMiddle(piece[2]);
                const Eigen::Vector3i normal = (p1 - p0).cross(p2 - p0);
                if (normal.dot(outward) < 0)
                    std::swap(piece[1], piece[2]);
                table.triangles[static_cast<std::size_t>(pattern)].push_back({piece});
            }
        }
    }
    return table;
}

const CaseTable& caseTable()
{
    static const CaseTable table = buildCaseTable();
    return table;
}

/// Index of a direction bit set (1..7) among the seven edge directions.
constexpr int directionSlot(int direction) { return direction - 1; }

}  // namespace

TriangleSurface extractSurface(const BinaryMask& mask, const Mat4& indexToWorld)
{
    const auto [nx, ny, nz] = mask.dimensions;
    if (nx < 1 || ny < 1 || nz < 1 ||
        mask.inside.size() != static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz))
        throw std::invalid_argument("the mask's size does not match its dimensions");

    // Grid points of the padded grid: the mask plus one outside voxel on every side.
    const std::int64_t px = nx + 2, py = ny + 2, pz = nz + 2;
    const auto insideAt = [&](std::int64_t x, std::int64_t y, std::int64_t z) -> int {
        if (x < 1 || y < 1 || z < 1 || x > nx || y > ny || z > nz)
            return 0;
        return mask.inside[static_cast<std::size_t>(((z - 1) * ny + (y - 1)) * nx + (x - 1))] != 0;
    };

    const CaseTable& table = caseTable();
    // Vertex numbers of the edges starting on two point layers: the cube layer's bottom and top.
    const std::size_t layerSlots = static_cast<std::size_t>(px * py * 7);
    std::vector<std::int32_t> bottom(layerSlots, -1), top(layerSlots, -1);
    std::vector<Eigen::Vector3d> positions;
    std::vector<Eigen::Vector3i> faces;

    // The patterns of one row of cubes are built from two rows of point columns.
    std::vector<std::uint8_t> columnBits(static_cast<std::size_t>(px));
    for (std::int64_t z = 0; z + 1 < pz; ++z) {
        for (std::int64_t y = 0; y + 1 < py; ++y) {
            for (std::int64_t x = 0; x < px; ++x)
                columnBits[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(
                    insideAt(x, y, z) | insideAt(x, y + 1, z) << 1 | insideAt(x, y, z + 1) << 2 |
                    insideAt(x, y + 1, z + 1) << 3);
            for (std::int64_t x = 0; x + 1 < px; ++x) {
                const int left = columnBits[static_cast<std::size_t>(x)];
                const int right = columnBits[static_cast<std::size_t>(x + 1)];
                // Corner bits: x is bit 0, y bit 1, z bit 2.
                const int pattern = (left & 1) | (right & 1) << 1 | (left >> 1 & 1) << 2 | (right >> 1 & 1) << 3 |
                                    (left >> 2 & 1) << 4 | (right >> 2 & 1) << 5 | (left >> 3 & 1) << 6 |
                                    (right >> 3 & 1) << 7;
                if (pattern == 0 || pattern == 255)
                    continue;
                for (const TriangleOnEdges& triangle : table.triangles[static_cast<std::size_t>(pattern)]) {
                    Eigen::Vector3i face;
                    for (int k = 0; k < 3; ++k) {
                        const CubeEdge& edge = triangle.edges[static_cast<std::size_t>(k)];
                        const std::int64_t ex = x + (edge.lower & 1), ey = y + (edge.lower >> 1 & 1);
                        auto& layer = (edge.lower & 4) ? top : bottom;
                        const std::size_t slot =
                            static_cast<std::size_t>((ey * px + ex) * 7 + directionSlot(edge.direction));
                        if (layer[slot] < 0) {
                            if (positions.size() >= static_cast<std::size_t>(INT_MAX))
                                throw std::invalid_argument("the surface needs more vertices than a 32-bit index holds");
                            layer[slot] = static_cast<std::int32_t>(positions.size());
                            const Eigen::Vector3i doubled = doubledMiddle(edge);
                            // Padded grid to mask index: one voxel of padding before the mask.
                            positions.emplace_back(static_cast<double>(x - 1) + 0.5 * doubled.x(),
                                                   static_cast<double>(y - 1) + 0.5 * doubled.y(),
                                                   static_cast<double>(z - 1) + 0.5 * doubled.z());
                        }
                        face[k] = layer[slot];
                    }
                    faces.push_back(face);
                }
            }
        }
        std::swap(bottom, top);
        std::fill(top.begin(), top.end(), -1);
    }

    TriangleSurface surface;
    surface.vertices.resize(static_cast<Eigen::Index>(positions.size()), 3);
    const Eigen::Matrix3d linear = indexToWorld.topLeftCorner<3, 3>();
    const Vec3 offset = indexToWorld.topRightCorner<3, 1>();
    for (std::size_t i = 0; i < positions.size(); ++i)
        surface.vertices.row(static_cast<Eigen::Index>(i)) = (linear * positions[i] + offset).transpose();
    // A left-handed mapping mirrors the surface; swapping two corners keeps the normals outward.
    const bool mirrored = linear.determinant() < 0.0;
    surface.faces.resize(static_cast<Eigen::Index>(faces.size()), 3);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        const Eigen::Vector3i& face = faces[i];
        surface.faces.row(static_cast<Eigen::Index>(i)) =
            mirrored ? Eigen::RowVector3i(face[0], face[2], face[1]) : Eigen::RowVector3i(face[0], face[1], face[2]);
    }
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
