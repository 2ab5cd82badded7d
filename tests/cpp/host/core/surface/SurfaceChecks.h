#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <set>
#include <utility>
#include <vector>

namespace corvaxis::test {

/// Checks that a triangle mesh is a closed, consistently oriented 2-manifold without degenerate
/// triangles: every directed edge once and its reverse once, every vertex surrounded by a single
/// fan of triangles, every triangle of positive area. Returns the number of shells.
inline int expectClosedOrientedManifold(const Points& vertices, const Triangles& faces)
{
    std::map<std::pair<int, int>, int> directed;
    std::vector<std::vector<int>> facesOfVertex(static_cast<std::size_t>(vertices.rows()));
    for (Eigen::Index f = 0; f < faces.rows(); ++f) {
        for (int k = 0; k < 3; ++k) {
            ++directed[{faces(f, k), faces(f, (k + 1) % 3)}];
            facesOfVertex[static_cast<std::size_t>(faces(f, k))].push_back(static_cast<int>(f));
        }
        const Eigen::Vector3d a = vertices.row(faces(f, 0)), b = vertices.row(faces(f, 1)), c = vertices.row(faces(f, 2));
        EXPECT_GT((b - a).cross(c - a).norm(), 1e-12) << "degenerate triangle " << f;
    }
    int badEdges = 0;
    for (const auto& [edge, count] : directed)
        if (count != 1 || !directed.contains({edge.second, edge.first}))
            ++badEdges;
    EXPECT_EQ(badEdges, 0) << "edges not shared by exactly two consistently oriented triangles";

    // Around a manifold vertex, the triangles chain through their edges into one cycle.
    int pinched = 0;
    for (std::size_t v = 0; v < facesOfVertex.size(); ++v) {
        const auto& around = facesOfVertex[v];
        if (around.empty())
            continue;
        std::map<int, int> nextOf;  // outgoing neighbour -> incoming neighbour within a triangle
        for (int f : around)
            for (int k = 0; k < 3; ++k)
                if (faces(f, k) == static_cast<int>(v))
                    nextOf[faces(f, (k + 1) % 3)] = faces(f, (k + 2) % 3);
        int start = nextOf.begin()->first, current = start, steps = 0;
        do {
            const auto it = nextOf.find(current);
            if (it == nextOf.end())
                break;
            current = it->second;
            ++steps;
        } while (current != start && steps <= static_cast<int>(around.size()));
        if (steps != static_cast<int>(around.size()) || current != start)
            ++pinched;
    }
    EXPECT_EQ(pinched, 0) << "vertices whose triangles do not form a single fan";

    // Shells: connected components over shared vertices.
    std::vector<int> parent(static_cast<std::size_t>(vertices.rows()));
    for (std::size_t i = 0; i < parent.size(); ++i)
        parent[i] = static_cast<int>(i);
    const auto find = [&](int i) {
        while (parent[static_cast<std::size_t>(i)] != i)
            i = parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
        return i;
    };
    for (Eigen::Index f = 0; f < faces.rows(); ++f)
        for (int k = 1; k < 3; ++k)
            parent[static_cast<std::size_t>(find(faces(f, k)))] = find(faces(f, 0));
    std::set<int> roots;
    for (Eigen::Index f = 0; f < faces.rows(); ++f)
        roots.insert(find(faces(f, 0)));
    return static_cast<int>(roots.size());
}

/// The Euler number V - E + F of a closed triangle mesh (every edge in two triangles).
inline int eulerNumber(const Triangles& faces)
{
    std::set<int> used(faces.data(), faces.data() + faces.size());
    return static_cast<int>(used.size()) - static_cast<int>(faces.rows()) * 3 / 2 + static_cast<int>(faces.rows());
}

inline surface::BinaryMask maskFromVoxels(std::array<int, 3> dimensions, const std::vector<std::array<int, 3>>& voxels)
{
    surface::BinaryMask mask{dimensions, std::vector<std::uint8_t>(
                                             static_cast<std::size_t>(dimensions[0]) * dimensions[1] * dimensions[2])};
    for (const auto& [x, y, z] : voxels)
        mask.inside[static_cast<std::size_t>((z * dimensions[1] + y) * dimensions[0] + x)] = 1;
    return mask;
}

inline surface::BinaryMask randomMask(std::array<int, 3> dimensions, unsigned seed, double fill)
{
    std::mt19937 random(seed);
    std::bernoulli_distribution inside(fill);
    surface::BinaryMask mask{dimensions, {}};
    mask.inside.resize(static_cast<std::size_t>(dimensions[0]) * dimensions[1] * dimensions[2]);
    for (auto& value : mask.inside)
        value = inside(random);
    return mask;
}

struct MaskCase {
    std::string name;
    surface::BinaryMask mask;
    int shells;
};

inline std::vector<MaskCase> maskCases()
{
    return {
        {"single voxel", maskFromVoxels({1, 1, 1}, {{0, 0, 0}}), 1},
        {"full box touching every border", maskFromVoxels({2, 2, 2}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                                                      {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}}),
         1},
        // Voxels meeting only along an edge or at a corner: the classic places for holes and pinches.
        {"edge neighbours", maskFromVoxels({2, 2, 1}, {{0, 0, 0}, {1, 1, 0}}), 2},
        {"anti-diagonal edge neighbours", maskFromVoxels({2, 2, 1}, {{1, 0, 0}, {0, 1, 0}}), 2},
        {"corner neighbours", maskFromVoxels({2, 2, 2}, {{0, 0, 0}, {1, 1, 1}}), 2},
        {"other corner neighbours", maskFromVoxels({2, 2, 2}, {{1, 0, 0}, {0, 1, 1}}), 2},
        {"separate voxels", maskFromVoxels({5, 1, 1}, {{0, 0, 0}, {4, 0, 0}}), 2},
        {"ring", maskFromVoxels({3, 3, 1}, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {2, 1, 0}, {0, 2, 0}, {1, 2, 0},
                                            {2, 2, 0}}),
         1},
        {"random sparse", randomMask({9, 8, 7}, 1, 0.3), -1},
        {"random half", randomMask({9, 8, 7}, 2, 0.5), -1},
        {"random dense", randomMask({6, 7, 8}, 3, 0.8), -1},
    };
}

/// The voxel-to-world mappings every surface is checked under: none, a rotation with unequal
/// scales and a shift, and a mirroring.
inline std::vector<Mat4> mappings()
{
    Mat4 rotated = Mat4::Identity();
    rotated.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix() *
                                    Eigen::Vector3d(0.5, 1.25, 2.0).asDiagonal();
    rotated.topRightCorner<3, 1>() = Vec3(-10, 4, 7);
    Mat4 mirrored = Mat4::Identity();
    mirrored.diagonal().head<3>() = Vec3(-0.8, 0.8, 3.0);
    return {Mat4::Identity(), rotated, mirrored};
}

/// A mask case's name as a test name.
inline std::string maskCaseName(const ::testing::TestParamInfo<MaskCase>& info)
{
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

/// One cube of 2 x 2 x 2 voxels with the corners of `pattern`'s bits inside (bit k: corner k).
inline surface::BinaryMask cornerPatternMask(int pattern)
{
    surface::BinaryMask mask{{2, 2, 2}, std::vector<std::uint8_t>(8)};
    for (int corner = 0; corner < 8; ++corner)
        mask.inside[static_cast<std::size_t>(corner)] = static_cast<std::uint8_t>(pattern >> corner & 1);
    return mask;
}

/// The voxels whose centres lie within `radius` of the box's centre, in a box with a voxel to spare.
inline surface::BinaryMask ballMask(double radius)
{
    const int size = static_cast<int>(2 * radius) + 3;
    surface::BinaryMask mask{{size, size, size}, {}};
    const double centre = (size - 1) / 2.0 + 0.21;
    for (int z = 0; z < size; ++z)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                mask.inside.push_back((x - centre) * (x - centre) + (y - centre) * (y - centre) + (z - centre) * (z - centre) <=
                                      radius * radius);
    return mask;
}

/// The voxels whose centres lie within `minor` of a circle of radius `major` about the z axis
/// through the box's centre.
inline surface::BinaryMask torusMask(double major, double minor)
{
    const int size = static_cast<int>(2 * (major + minor)) + 3, height = static_cast<int>(2 * minor) + 3;
    surface::BinaryMask mask{{size, size, height}, {}};
    const double centre = (size - 1) / 2.0 + 0.13, middle = (height - 1) / 2.0 + 0.07;
    for (int z = 0; z < height; ++z)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const double ring = std::hypot(x - centre, y - centre) - major;
                mask.inside.push_back(ring * ring + (z - middle) * (z - middle) <= minor * minor);
            }
    return mask;
}

/// The number of face-connected parts of the mask's inside voxels.
inline int faceConnectedParts(const surface::BinaryMask& mask)
{
    const auto [nx, ny, nz] = mask.dimensions;
    std::vector<int> part(mask.inside.size(), -1);
    int parts = 0;
    for (std::size_t seed = 0; seed < mask.inside.size(); ++seed) {
        if (!mask.inside[seed] || part[seed] >= 0)
            continue;
        std::vector<std::size_t> stack{seed};
        part[seed] = parts;
        while (!stack.empty()) {
            const std::size_t at = stack.back();
            stack.pop_back();
            const int x = static_cast<int>(at % nx), y = static_cast<int>(at / nx % ny), z = static_cast<int>(at / nx / ny);
            const int steps[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
            for (const auto& step : steps) {
                const int ax = x + step[0], ay = y + step[1], az = z + step[2];
                if (ax < 0 || ay < 0 || az < 0 || ax >= nx || ay >= ny || az >= nz)
                    continue;
                const auto next = static_cast<std::size_t>((az * ny + ay) * nx + ax);
                if (mask.inside[next] && part[next] < 0) {
                    part[next] = parts;
                    stack.push_back(next);
                }
            }
        }
        ++parts;
    }
    return parts;
}

inline double voxelCount(const surface::BinaryMask& mask)
{
    double count = 0;
    for (auto value : mask.inside)
        count += value != 0;
    return count;
}

}  // namespace corvaxis::test
