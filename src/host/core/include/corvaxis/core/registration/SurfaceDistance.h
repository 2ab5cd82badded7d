#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <memory>

namespace corvaxis::registration {

// Rows of points: corvaxis::Points, spelt out because registration::Points (PointSetAlignment.h)
// holds points as columns.

/// Exact distances from points to a triangle surface, for quality figures of surface
/// registrations. Memory and set-up are linear in the surface size.
class SurfaceDistance {
public:
    /// Keeps copies of the surface; throws std::invalid_argument for an empty surface or a face
    /// that indexes a missing vertex.
    SurfaceDistance(const corvaxis::Points& vertices, const Triangles& faces);
    ~SurfaceDistance();
    SurfaceDistance(const SurfaceDistance&) = delete;
    SurfaceDistance& operator=(const SurfaceDistance&) = delete;

    /// The closest point of the surface to `point`.
    Vec3 closestPoint(const Vec3& point) const;
    /// Distance of every row of `points` to the surface.
    Eigen::VectorXd distances(const corvaxis::Points& points) const;

private:
    struct Search;
    std::unique_ptr<Search> m_search;
};

/// Closest point of the triangle (a, b, c) to p.
Vec3 closestPointOnTriangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c);

/// Unit normals of the faces (right-hand order of their vertices); zero for degenerate faces.
corvaxis::Points faceNormals(const corvaxis::Points& vertices, const Triangles& faces);

}  // namespace corvaxis::registration
