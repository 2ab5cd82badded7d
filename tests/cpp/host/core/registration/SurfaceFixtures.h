#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <Eigen/Geometry>

#include <cmath>
#include <map>
#include <numbers>
#include <utility>

namespace corvaxis::registration::testing {

struct Surface {
    Points vertices;
    Triangles faces;
};

/// Unit icosphere: an icosahedron with every face split in four `levels` times (outward faces).
inline Surface icosphere(int levels)
{
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<Vec3> v{{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                        {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<std::array<int, 3>> f{{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                                      {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
                                      {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    for (Vec3& p : v)
        p.normalize();
    for (int level = 0; level < levels; ++level) {
        std::map<std::pair<int, int>, int> middles;
        const auto middle = [&](int a, int b) {
            const auto key = std::minmax(a, b);
            if (const auto found = middles.find(key); found != middles.end())
                return found->second;
            v.push_back((v[static_cast<std::size_t>(a)] + v[static_cast<std::size_t>(b)]).normalized());
            return middles[key] = static_cast<int>(v.size()) - 1;
        };
        std::vector<std::array<int, 3>> next;
        for (const auto& [a, b, c] : f) {
            const int ab = middle(a, b), bc = middle(b, c), ca = middle(c, a);
            next.insert(next.end(), {{a, ab, ca}, {b, bc, ab}, {c, ca, bc}, {ab, bc, ca}});
        }
        f = std::move(next);
    }
    Surface s{Points(static_cast<Eigen::Index>(v.size()), 3), Triangles(static_cast<Eigen::Index>(f.size()), 3)};
    for (std::size_t i = 0; i < v.size(); ++i)
        s.vertices.row(static_cast<Eigen::Index>(i)) = v[i];
    for (std::size_t i = 0; i < f.size(); ++i)
        s.faces.row(static_cast<Eigen::Index>(i)) << f[i][0], f[i][1], f[i][2];
    return s;
}

/// Unit sphere tessellated by latitude rings and longitude segments (outward faces), so that it
/// shares no vertex layout with the icosphere.
inline Surface latitudeSphere(int rings, int segments)
{
    Surface s;
    const int n = 2 + (rings - 1) * segments;
    s.vertices.resize(n, 3);
    s.vertices.row(0) = Vec3(0, 0, 1);
    s.vertices.row(n - 1) = Vec3(0, 0, -1);
    for (int r = 1; r < rings; ++r)
        for (int k = 0; k < segments; ++k) {
            const double theta = std::numbers::pi * r / rings, phi = 2.0 * std::numbers::pi * k / segments;
            s.vertices.row(1 + (r - 1) * segments + k) =
                Vec3(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
        }
    std::vector<std::array<int, 3>> f;
    const auto at = [&](int r, int k) { return 1 + (r - 1) * segments + (k % segments); };
    for (int k = 0; k < segments; ++k) {
        f.push_back({0, at(1, k), at(1, k + 1)});
        f.push_back({n - 1, at(rings - 1, k + 1), at(rings - 1, k)});
        for (int r = 1; r < rings - 1; ++r) {
            f.push_back({at(r, k), at(r + 1, k), at(r + 1, k + 1)});
            f.push_back({at(r, k), at(r + 1, k + 1), at(r, k + 1)});
        }
    }
    s.faces.resize(static_cast<Eigen::Index>(f.size()), 3);
    for (std::size_t i = 0; i < f.size(); ++i)
        s.faces.row(static_cast<Eigen::Index>(i)) << f[i][0], f[i][1], f[i][2];
    return s;
}

inline Mat4 rigid(const Vec3& axis, double degrees, const Vec3& translation)
{
    Mat4 m = Mat4::Identity();
    m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(degrees * std::numbers::pi / 180.0, axis.normalized()).toRotationMatrix();
    m.topRightCorner<3, 1>() = translation;
    return m;
}

/// The unit surface scaled per axis, then placed by `placement`.
inline Surface placed(Surface s, const Vec3& semiAxes, const Mat4& placement = Mat4::Identity())
{
    for (Eigen::Index i = 0; i < s.vertices.rows(); ++i) {
        const Vec3 p = s.vertices.row(i).transpose().cwiseProduct(semiAxes);
        s.vertices.row(i) = (placement.topLeftCorner<3, 3>() * p + placement.topRightCorner<3, 1>()).transpose();
    }
    return s;
}

}  // namespace corvaxis::registration::testing
