#include "corvaxis/core/surface/SurfaceNet.h"

#include "CubeCases.h"

#include <Eigen/LU>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <map>
#include <stdexcept>

namespace corvaxis::surface {

using namespace cases;

namespace {

/// Not yet told which region lies across.
constexpr std::int32_t acrossUnknown = INT32_MIN;

/// For the crossing edge from padded grid point g along an axis, the four cubes around it as
/// offsets from g in the cyclic order that is counter-clockwise seen from the axis's positive side,
/// each with the local number of the edge in that cube.
struct EdgeRing {
    std::array<Eigen::Vector3i, 4> cubeOffset;
    std::array<int, 4> localEdge;
};

std::array<EdgeRing, 3> makeEdgeRings()
{
    std::array<EdgeRing, 3> rings{};
    for (int axis = 0; axis < 3; ++axis) {
        const int u = (axis + 1) % 3, v = (axis + 2) % 3;
        const std::array<std::array<int, 2>, 4> around = {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}};
        for (std::size_t k = 0; k < 4; ++k) {
            Eigen::Vector3i offset = Eigen::Vector3i::Zero();
            offset[u] = around[k][0] - 1;
            offset[v] = around[k][1] - 1;
            // Within that cube the edge starts at the corner opposite the offset.
            const Corner lower = (offset[u] == -1 ? 1 << u : 0) | (offset[v] == -1 ? 1 << v : 0);
            rings[static_cast<std::size_t>(axis)].cubeOffset[k] = offset;
            rings[static_cast<std::size_t>(axis)].localEdge[k] = edgeBetween(lower, lower | 1 << axis);
        }
    }
    return rings;
}

}  // namespace

SurfaceNet extractSurfaceNet(const BinaryMask& mask, const Mat4& indexToWorld, const MaskPlacement& placement,
                             const std::function<std::int32_t(int, int, int)>& regionOf,
                             const std::function<void(double)>& progress)
{
    const auto [nx, ny, nz] = mask.dimensions;
    if (nx < 1 || ny < 1 || nz < 1 ||
        mask.inside.size() != static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz))
        throw std::invalid_argument("the mask's size does not match its dimensions");

    const CaseTable& table = caseTable();
    static const std::array<EdgeRing, 3> rings = makeEdgeRings();
    const Eigen::Matrix3d linear = indexToWorld.topLeftCorner<3, 3>();
    // Padded grid points run from one voxel before the mask to one after it.
    const Vec3 origin = indexToWorld.topRightCorner<3, 1>() - linear * Vec3::Ones();
    const bool mirrored = linear.determinant() < 0.0;

    // Cubes of the padded grid: (nx + 1) (ny + 1) (nz + 1), two layers kept at a time.
    const std::int64_t cx = nx + 1, cy = ny + 1, cz = nz + 1;
    const std::size_t layerCubes = static_cast<std::size_t>(cx * cy);
    std::array<std::vector<std::uint8_t>, 2> patterns{std::vector<std::uint8_t>(layerCubes),
                                                      std::vector<std::uint8_t>(layerCubes)};
    std::array<std::vector<std::int32_t>, 2> firstVertex{std::vector<std::int32_t>(layerCubes),
                                                         std::vector<std::int32_t>(layerCubes)};
    const std::vector<std::uint8_t> outsideRow(static_cast<std::size_t>(nx), 0);
    const auto maskRow = [&](std::int64_t y, std::int64_t z) {  // padded grid row
        if (y < 1 || z < 1 || y > ny || z > nz)
            return outsideRow.data();
        return mask.inside.data() + ((z - 1) * ny + (y - 1)) * nx;
    };

    const auto [imageX, imageY, imageZ] = placement.imageDimensions;
    const auto [lowerX, lowerY, lowerZ] = placement.lower;
    const auto globalCube = [&](std::int64_t x, std::int64_t y, std::int64_t z) {
        // Image cubes are numbered from the one whose first corner is voxel (-1, -1, -1).
        return ((lowerZ + z) * (imageY + 1) + (lowerY + y)) * (imageX + 1) + (lowerX + x);
    };

    std::vector<double> positions;
    SurfaceNet net;
    // Middle vertices of doubled sides, by the lower cube of the side, the axis between the two
    // cubes and the inside voxel whose corner the side's segment cuts off.
    std::map<std::array<std::int64_t, 3>, std::int32_t> middleOfSide;
    const auto addVertex = [&](const Vec3& world) {
        if (positions.size() / 3 >= static_cast<std::size_t>(INT_MAX))
            throw std::invalid_argument("the surface needs more vertices than a 32-bit index holds");
        positions.insert(positions.end(), {world.x(), world.y(), world.z()});
        net.across.push_back(acrossUnknown);
        net.sideMiddle.push_back(0);
        return static_cast<std::int32_t>(positions.size() / 3 - 1);
    };
    std::vector<std::uint8_t> columnBits(static_cast<std::size_t>(nx + 2), 0);
    std::vector<std::int32_t> mixedCubes;  // of the current layer, in order
    for (std::int64_t z = 0; z < cz; ++z) {
        if (progress)
            progress(static_cast<double>(z) / static_cast<double>(cz));
        mixedCubes.clear();
        std::vector<std::uint8_t>& pattern = patterns[static_cast<std::size_t>(z & 1)];
        std::vector<std::int32_t>& first = firstVertex[static_cast<std::size_t>(z & 1)];
        const std::vector<std::uint8_t>& belowPattern = patterns[static_cast<std::size_t>((z + 1) & 1)];
        const std::vector<std::int32_t>& belowFirst = firstVertex[static_cast<std::size_t>((z + 1) & 1)];
        for (std::int64_t y = 0; y < cy; ++y) {
            const std::uint8_t* rows[4] = {maskRow(y, z), maskRow(y + 1, z), maskRow(y, z + 1), maskRow(y + 1, z + 1)};
            for (std::int64_t x = 1; x <= nx; ++x)
                columnBits[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(
                    (rows[0][x - 1] != 0) | (rows[1][x - 1] != 0) << 1 | (rows[2][x - 1] != 0) << 2 |
                    (rows[3][x - 1] != 0) << 3);
            for (std::int64_t x = 0; x < cx; ++x) {
                const std::size_t cube = static_cast<std::size_t>(y * cx + x);
                const int bits = spreadColumn[columnBits[static_cast<std::size_t>(x)]] |
                                 spreadColumn[columnBits[static_cast<std::size_t>(x + 1)]] << 1;
                pattern[cube] = static_cast<std::uint8_t>(bits);
                if (bits == 0 || bits == 255)
                    continue;
                mixedCubes.push_back(static_cast<std::int32_t>(cube));
                // One vertex per polygon, at the centroid of the middles of the edges it crosses.
                first[cube] = static_cast<std::int32_t>(positions.size() / 3);
                const int polygons = table.polygonCount[static_cast<std::size_t>(bits)];
                for (int polygon = 0; polygon < polygons; ++polygon) {
                    Vec3 sum = Vec3::Zero();
                    int count = 0;
                    for (std::size_t edge = 0; edge < 12; ++edge)
                        if (table.polygonOfEdge[static_cast<std::size_t>(bits)][edge] == polygon) {
                            const CubeEdge& cubeEdge = cubeEdges[edge];
                            Vec3 middle(static_cast<double>(x + (cubeEdge.lower & 1)),
                                        static_cast<double>(y + (cubeEdge.lower >> 1 & 1)),
                                        static_cast<double>(z + (cubeEdge.lower >> 2 & 1)));
                            middle[cubeEdge.axis] += 0.5;
                            sum += middle;
                            ++count;
                        }
                    addVertex(linear * (sum / count) + origin);
                }
            }
        }

        // The crossing edges that start at this layer's grid points: their cubes are in this layer
        // or the one below. Edges within the padding never cross, so no cube before the first is
        // asked for.
        for (const std::int32_t cube : mixedCubes) {
            const std::int64_t x = cube % cx, y = cube / cx;
            const std::uint8_t bits = pattern[static_cast<std::size_t>(cube)];
            const bool inside = bits & 1;
            for (int axis = 0; axis < 3; ++axis) {
                if (inside == static_cast<bool>(bits >> (1 << axis) & 1))
                    continue;
                // The voxel across the surface from the region, in image coordinates.
                const Eigen::Vector3i grid(static_cast<int>(x), static_cast<int>(y), static_cast<int>(z));
                Eigen::Vector3i across = grid - Eigen::Vector3i::Ones() + Eigen::Vector3i(lowerX, lowerY, lowerZ);
                if (inside)
                    across[axis] += 1;
                std::int32_t region = outsideRegion;
                if (across.x() >= 0 && across.y() >= 0 && across.z() >= 0 && across.x() < imageX &&
                    across.y() < imageY && across.z() < imageZ)
                    region = regionOf(across.x(), across.y(), across.z());
                const EdgeRing& ring = rings[static_cast<std::size_t>(axis)];
                std::array<std::int32_t, 4> quad{};
                std::array<int, 4> cubeBitsOf{};
                for (std::size_t k = 0; k < 4; ++k) {
                    const Eigen::Vector3i cube = grid + ring.cubeOffset[k];
                    const bool below = cube.z() < z;
                    const std::size_t at = static_cast<std::size_t>(cube.y() * cx + cube.x());
                    const int cubeBits = (below ? belowPattern : pattern)[at];
                    cubeBitsOf[k] = cubeBits;
                    const int localEdge = ring.localEdge[k];
                    const std::int32_t vertex =
                        (below ? belowFirst : first)[at] +
                        table.polygonOfEdge[static_cast<std::size_t>(cubeBits)][static_cast<std::size_t>(localEdge)];
                    quad[k] = vertex;
                    std::int32_t& seen = net.across[static_cast<std::size_t>(vertex)];
                    seen = seen == acrossUnknown || seen == region ? region : SurfaceNet::severalRegions;
                    if (region != outsideRegion)
                        net.contacts.push_back({globalCube(cube.x(), cube.y(), cube.z()) * 12 + localEdge, vertex});
                }
                // The sides between two cubes whose common face is doubled in both get their middle.
                std::array<std::int32_t, 8> polygon{};
                std::size_t corners = 0;
                for (std::size_t k = 0; k < 4; ++k) {
                    polygon[corners++] = quad[k];
                    const std::size_t next = (k + 1) % 4;
                    const Eigen::Vector3i step = ring.cubeOffset[next] - ring.cubeOffset[k];
                    const int between = step.x() != 0 ? 0 : step.y() != 0 ? 1 : 2;
                    const bool upward = step[between] > 0;
                    const int faceHere = 2 * between + (upward ? 1 : 0), faceNext = 2 * between + (upward ? 0 : 1);
                    if (!(table.doubleFaces[static_cast<std::size_t>(cubeBitsOf[k])] >> faceHere & 1) ||
                        !(table.doubleFaces[static_cast<std::size_t>(cubeBitsOf[next])] >> faceNext & 1))
                        continue;
                    const Eigen::Vector3i lowerCube = grid + (upward ? ring.cubeOffset[k] : ring.cubeOffset[next]);
                    const Eigen::Vector3i insideVoxel = inside ? grid : Eigen::Vector3i(grid + Eigen::Vector3i::Unit(axis));
                    const std::array<std::int64_t, 3> key{(static_cast<std::int64_t>(lowerCube.z()) * cy + lowerCube.y()) * cx + lowerCube.x(),
                                                          between,
                                                          (static_cast<std::int64_t>(insideVoxel.z()) * (cy + 1) + insideVoxel.y()) * (cx + 1) + insideVoxel.x()};
                    auto [slot, isNew] = middleOfSide.try_emplace(key, 0);
                    if (isNew) {
                        const Vec3 a(positions[3 * static_cast<std::size_t>(quad[k])], positions[3 * static_cast<std::size_t>(quad[k]) + 1],
                                     positions[3 * static_cast<std::size_t>(quad[k]) + 2]);
                        const Vec3 b(positions[3 * static_cast<std::size_t>(quad[next])], positions[3 * static_cast<std::size_t>(quad[next]) + 1],
                                     positions[3 * static_cast<std::size_t>(quad[next]) + 2]);
                        slot->second = addVertex(0.5 * (a + b));
                        net.sideMiddle.back() = 1;
                    }
                    std::int32_t& seen = net.across[static_cast<std::size_t>(slot->second)];
                    seen = seen == acrossUnknown || seen == region ? region : SurfaceNet::severalRegions;
                    polygon[corners++] = slot->second;
                }
                // Outward is along +axis when the region's voxel is the lower one.
                if (inside == mirrored)
                    std::reverse(polygon.begin(), polygon.begin() + static_cast<std::ptrdiff_t>(corners));
                net.polygonVertices.insert(net.polygonVertices.end(), polygon.begin(),
                                           polygon.begin() + static_cast<std::ptrdiff_t>(corners));
                net.polygonStart.push_back(static_cast<std::int32_t>(net.polygonVertices.size()));
            }
        }
    }

    net.vertices.resize(static_cast<Eigen::Index>(positions.size() / 3), 3);
    if (!positions.empty())
        std::memcpy(net.vertices.data(), positions.data(), positions.size() * sizeof(double));
    return net;
}

}  // namespace corvaxis::surface
