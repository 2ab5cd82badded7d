#include "corvaxis/core/surface/BinarySurface.h"

#include "CubeCases.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <climits>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace corvaxis::surface {

using namespace cases;

TriangleSurface extractSurface(const BinaryMask& mask, const Mat4& indexToWorld, const std::function<void(double)>& progress)
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
        if (progress)
            progress(static_cast<double>(z) / static_cast<double>(pz - 1));
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
