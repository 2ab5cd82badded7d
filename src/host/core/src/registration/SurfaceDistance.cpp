#include "corvaxis/core/registration/SurfaceDistance.h"

#include "PointTree.h"

#include <Eigen/Geometry>

#include <stdexcept>

namespace corvaxis::registration {

Vec3 closestPointOnTriangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c)
{
    // Voronoi regions of the vertices, then of the edges, else the interior.
    const Vec3 ab = b - a, ac = c - a, ap = p - a;
    const double d1 = ab.dot(ap), d2 = ac.dot(ap);
    if (d1 <= 0.0 && d2 <= 0.0)
        return a;
    const Vec3 bp = p - b;
    const double d3 = ab.dot(bp), d4 = ac.dot(bp);
    if (d3 >= 0.0 && d4 <= d3)
        return b;
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0)
        return a + ab * (d1 / (d1 - d3));
    const Vec3 cp = p - c;
    const double d5 = ab.dot(cp), d6 = ac.dot(cp);
    if (d6 >= 0.0 && d5 <= d6)
        return c;
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0)
        return a + ac * (d2 / (d2 - d6));
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0)
        return b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)));
    const double denominator = va + vb + vc;
    if (denominator <= 0.0)  // degenerate triangle: the edges above already hold the answer
        return (p - a).squaredNorm() < (p - b).squaredNorm() ? a : b;
    return a + ab * (vb / denominator) + ac * (vc / denominator);
}

Points faceNormals(const Points& vertices, const Triangles& faces)
{
    Points normals(faces.rows(), 3);
    for (Eigen::Index f = 0; f < faces.rows(); ++f) {
        const Vec3 a = vertices.row(faces(f, 0)), b = vertices.row(faces(f, 1)), c = vertices.row(faces(f, 2));
        const Vec3 n = (b - a).cross(c - a);
        const double length = n.norm();
        normals.row(f) = length > 0.0 ? Vec3(n / length) : Vec3::Zero();
    }
    return normals;
}

struct SurfaceDistance::Search {
    Points vertices;
    Triangles faces;
    // Faces around each vertex, as offsets into one list.
    std::vector<int> faceOffsets;
    std::vector<int> vertexFaces;
    double longestEdge = 0.0;
    PointTree tree;

    Search(const Points& v, const Triangles& f) : vertices(v), faces(f), tree(vertices) {}
};

SurfaceDistance::SurfaceDistance(const Points& vertices, const Triangles& faces)
{
    if (vertices.rows() == 0 || faces.rows() == 0)
        throw std::invalid_argument("The surface has no vertices or no faces");
    if (faces.minCoeff() < 0 || faces.maxCoeff() >= vertices.rows())
        throw std::invalid_argument("A face refers to a vertex that does not exist");
    m_search = std::make_unique<Search>(vertices, faces);
    Search& s = *m_search;
    s.faceOffsets.assign(static_cast<std::size_t>(vertices.rows()) + 1, 0);
    for (Eigen::Index f = 0; f < faces.rows(); ++f)
        for (int corner = 0; corner < 3; ++corner)
            ++s.faceOffsets[static_cast<std::size_t>(faces(f, corner)) + 1];
    for (std::size_t i = 1; i < s.faceOffsets.size(); ++i)
        s.faceOffsets[i] += s.faceOffsets[i - 1];
    s.vertexFaces.resize(static_cast<std::size_t>(s.faceOffsets.back()));
    std::vector<int> fill(s.faceOffsets.begin(), s.faceOffsets.end() - 1);
    for (Eigen::Index f = 0; f < faces.rows(); ++f)
        for (int corner = 0; corner < 3; ++corner) {
            const int vertex = faces(f, corner);
            s.vertexFaces[static_cast<std::size_t>(fill[static_cast<std::size_t>(vertex)]++)] = static_cast<int>(f);
            const int next = faces(f, (corner + 1) % 3);
            s.longestEdge = std::max(s.longestEdge, (vertices.row(vertex) - vertices.row(next)).norm());
        }
}

SurfaceDistance::~SurfaceDistance() = default;

Vec3 SurfaceDistance::closestPoint(const Vec3& point) const
{
    const Search& s = *m_search;
    // The closest surface point lies on a face whose corners are all within the distance to the
    // nearest vertex plus the longest edge.
    const auto [nearestVertex, squaredDistance] = s.tree.nearest(point.data());
    const double radius = std::sqrt(squaredDistance) + s.longestEdge;
    std::vector<PointTree::Neighbour> candidates;
    s.tree.within(point.data(), radius * radius * (1.0 + 1e-12), candidates);
    Vec3 best = s.vertices.row(nearestVertex);
    double bestSquared = squaredDistance;
    for (const auto& candidate : candidates) {
        const auto vertex = static_cast<std::size_t>(candidate.first);
        for (int k = s.faceOffsets[vertex]; k < s.faceOffsets[vertex + 1]; ++k) {
            const int f = s.vertexFaces[static_cast<std::size_t>(k)];
            const Vec3 q = closestPointOnTriangle(point, s.vertices.row(s.faces(f, 0)), s.vertices.row(s.faces(f, 1)),
                                                  s.vertices.row(s.faces(f, 2)));
            const double d = (q - point).squaredNorm();
            if (d < bestSquared) {
                bestSquared = d;
                best = q;
            }
        }
    }
    return best;
}

Eigen::VectorXd SurfaceDistance::distances(const Points& points) const
{
    Eigen::VectorXd result(points.rows());
    for (Eigen::Index i = 0; i < points.rows(); ++i) {
        const Vec3 p = points.row(i);
        result[i] = (closestPoint(p) - p).norm();
    }
    return result;
}

}  // namespace corvaxis::registration
