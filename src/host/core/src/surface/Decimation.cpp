#include "corvaxis/core/surface/Decimation.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <tuple>
#include <stdexcept>
#include <vector>

namespace corvaxis::surface {

namespace {

/// A symmetric 4x4 quadric in homogeneous coordinates: the error of point p is (p, 1) Q (p, 1).
using Quadric = Eigen::Matrix4d;

/// A queued collapse of edge (a, b); the end it collapses into is worked out again when it comes
/// up (the stamps say that neither vertex changed since), which keeps the queue small.
struct Candidate {
    double cost;
    std::int32_t a, b;
    std::uint32_t stampA, stampB;  // the vertices' versions when the candidate was made
    bool operator>(const Candidate& other) const
    {
        // Ties broken by the vertices, so that the order never depends on the heap's internals.
        return std::tie(cost, a, b) > std::tie(other.cost, other.a, other.b);
    }
};

class Decimator {
public:
    Decimator(const TriangleSurface& surface, const std::function<void(double)>& progress)
        : m_positions(surface.vertices), m_faces(surface.faces), m_alive(static_cast<std::size_t>(surface.faces.rows()), true),
          m_facesOf(static_cast<std::size_t>(surface.vertices.rows())),
          m_quadrics(static_cast<std::size_t>(surface.vertices.rows()), Quadric::Zero()),
          m_stamp(static_cast<std::size_t>(surface.vertices.rows()), 0)
    {
        for (Eigen::Index f = 0; f < m_faces.rows(); ++f) {
            if (progress && f % 65536 == 0)
                progress(0.0);
            for (int k = 0; k < 3; ++k)
                m_facesOf[static_cast<std::size_t>(m_faces(f, k))].push_back(static_cast<std::int32_t>(f));
            const Vec3 a = position(m_faces(f, 0)), b = position(m_faces(f, 1)), c = position(m_faces(f, 2));
            const Vec3 cross = (b - a).cross(c - a);
            const double area = cross.norm();
            if (area <= 0.0)
                continue;
            const Vec4 plane(cross.x() / area, cross.y() / area, cross.z() / area, -cross.dot(a) / area);
            // Weighted by area, so that many small triangles count as one large one.
            const Quadric quadric = 0.5 * area * plane * plane.transpose();
            for (int k = 0; k < 3; ++k)
                m_quadrics[static_cast<std::size_t>(m_faces(f, k))] += quadric;
        }
        m_faceCount = m_faces.rows();
        // Every edge once, then heaped as a whole.
        std::vector<Candidate> edges;
        edges.reserve(static_cast<std::size_t>(m_faces.rows()) * 3 / 2);
        for (Eigen::Index f = 0; f < m_faces.rows(); ++f) {
            if (progress && f % 65536 == 0)
                progress(0.0);
            for (int k = 0; k < 3; ++k) {
                const std::int32_t a = m_faces(f, k), b = m_faces(f, (k + 1) % 3);
                if (a < b)
                    edges.push_back(candidate(a, b));
            }
        }
        m_queue = std::move(edges);
        std::make_heap(m_queue.begin(), m_queue.end(), std::greater<>{});
    }

    void run(Eigen::Index targetFaces, const std::function<void(double)>& progress)
    {
        const auto toRemove = static_cast<double>(std::max<Eigen::Index>(1, m_faceCount - targetFaces));
        const Eigen::Index initialFaces = m_faceCount;
        for (std::size_t pops = 0; m_faceCount > targetFaces && !m_queue.empty(); ++pops) {
            if (progress && pops % 4096 == 0)
                progress(static_cast<double>(initialFaces - m_faceCount) / toRemove);
            std::pop_heap(m_queue.begin(), m_queue.end(), std::greater<>{});
            const Candidate candidate = m_queue.back();
            m_queue.pop_back();
            if (!current(candidate) || !connected(candidate.a, candidate.b))
                continue;
            if (collapse(candidate))
                dropStaleCandidates();
        }
    }

    TriangleSurface result() const
    {
        std::vector<std::int32_t> renumber(static_cast<std::size_t>(m_positions.rows()), -1);
        TriangleSurface surface;
        surface.faces.resize(m_faceCount, 3);
        std::int32_t vertices = 0;
        Eigen::Index row = 0;
        for (Eigen::Index f = 0; f < m_faces.rows(); ++f) {
            if (!m_alive[static_cast<std::size_t>(f)])
                continue;
            for (int k = 0; k < 3; ++k) {
                std::int32_t& number = renumber[static_cast<std::size_t>(m_faces(f, k))];
                if (number < 0)
                    number = vertices++;
                surface.faces(row, k) = number;
            }
            ++row;
        }
        surface.vertices.resize(vertices, 3);
        for (std::size_t v = 0; v < renumber.size(); ++v)
            if (renumber[v] >= 0)
                surface.vertices.row(renumber[v]) = m_positions.row(static_cast<Eigen::Index>(v));
        return surface;
    }

private:
    Vec3 position(std::int32_t v) const { return m_positions.row(v).transpose(); }

    /// The vertices sharing a triangle with v, each once, into `found` (in no particular order).
    void neighbours(std::int32_t v, std::vector<std::int32_t>& found) const
    {
        found.clear();
        for (std::int32_t f : m_facesOf[static_cast<std::size_t>(v)])
            for (int k = 0; k < 3; ++k) {
                const std::int32_t corner = m_faces(f, k);
                if (corner != v && std::find(found.begin(), found.end(), corner) == found.end())
                    found.push_back(corner);
            }
    }

    bool connected(std::int32_t a, std::int32_t b) const
    {
        for (std::int32_t f : m_facesOf[static_cast<std::size_t>(a)])
            for (int k = 0; k < 3; ++k)
                if (m_faces(f, k) == b)
                    return true;
        return false;
    }

    /// Queues the collapse of edge (a, b) into whichever end has the smaller quadric error: the
    /// remaining vertices are a subset of the given ones, so they stay on the given surface.
    void push(std::int32_t a, std::int32_t b)
    {
        m_queue.push_back(candidate(a, b));
        std::push_heap(m_queue.begin(), m_queue.end(), std::greater<>{});
    }

    /// The two ends' errors for collapsing edge (a, b) into a and into b.
    std::pair<double, double> costs(std::int32_t a, std::int32_t b) const
    {
        const Quadric quadric = m_quadrics[static_cast<std::size_t>(a)] + m_quadrics[static_cast<std::size_t>(b)];
        const auto cost = [&](const Vec3& p) {
            const Vec4 h(p.x(), p.y(), p.z(), 1.0);
            return std::max(0.0, h.dot(quadric * h));
        };
        return {cost(position(a)), cost(position(b))};
    }

    Candidate candidate(std::int32_t a, std::int32_t b) const
    {
        const auto [costA, costB] = costs(a, b);
        return {std::min(costA, costB), a, b, m_stamp[static_cast<std::size_t>(a)], m_stamp[static_cast<std::size_t>(b)]};
    }

    bool current(const Candidate& candidate) const
    {
        return candidate.stampA == m_stamp[static_cast<std::size_t>(candidate.a)] &&
               candidate.stampB == m_stamp[static_cast<std::size_t>(candidate.b)];
    }

    /// Drops the candidates that no longer count once they are about a quarter of the queue (a
    /// closed surface has 1.5 edges per triangle): popping them one by one was most of the work.
    /// The current ones keep their order.
    void dropStaleCandidates()
    {
        if (m_queue.size() < 2 * static_cast<std::size_t>(m_faceCount))
            return;
        std::erase_if(m_queue, [&](const Candidate& candidate) { return !current(candidate); });
        std::make_heap(m_queue.begin(), m_queue.end(), std::greater<>{});
    }

    bool collapse(const Candidate& candidate)
    {
        const std::int32_t a = candidate.a, b = candidate.b;
        const auto [costA, costB] = costs(a, b);
        const Vec3 target = costA <= costB ? position(a) : position(b);
        neighbours(a, m_aNeighbours);
        neighbours(b, m_bNeighbours);
        // Link condition: only the two corners opposite the edge may be common neighbours, and
        // neither may be left with two neighbours (a tetrahedron's last collapse). On a closed
        // manifold a vertex has as many neighbours as triangles.
        std::size_t common = 0;
        for (std::int32_t corner : m_aNeighbours)
            if (std::find(m_bNeighbours.begin(), m_bNeighbours.end(), corner) != m_bNeighbours.end()) {
                if (++common > 2 || m_facesOf[static_cast<std::size_t>(corner)].size() <= 3)
                    return false;
            }
        if (common != 2)
            return false;
        // No triangle that stays may turn over or lose its area.
        for (std::int32_t v : {a, b})
            for (std::int32_t f : m_facesOf[static_cast<std::size_t>(v)]) {
                bool hasBoth = false;
                std::array<Vec3, 3> before, after;
                for (int k = 0; k < 3; ++k) {
                    const std::int32_t corner = m_faces(f, k);
                    hasBoth = hasBoth || (corner == (v == a ? b : a));
                    before[static_cast<std::size_t>(k)] = position(corner);
                    after[static_cast<std::size_t>(k)] = corner == a || corner == b ? target : position(corner);
                }
                if (hasBoth)
                    continue;
                const Vec3 oldNormal = (before[1] - before[0]).cross(before[2] - before[0]);
                const Vec3 newNormal = (after[1] - after[0]).cross(after[2] - after[0]);
                if (newNormal.norm() <= 1e-12 * (after[1] - after[0]).squaredNorm() ||
                    newNormal.dot(oldNormal) <= 0.2 * newNormal.norm() * oldNormal.norm())
                    return false;
            }

        // b goes into a.
        for (std::int32_t f : m_facesOf[static_cast<std::size_t>(b)]) {
            bool hasA = false;
            for (int k = 0; k < 3; ++k)
                hasA = hasA || m_faces(f, k) == a;
            if (hasA) {
                m_alive[static_cast<std::size_t>(f)] = false;
                --m_faceCount;
                for (int k = 0; k < 3; ++k) {
                    auto& list = m_facesOf[static_cast<std::size_t>(m_faces(f, k))];
                    if (m_faces(f, k) != b)
                        list.erase(std::remove(list.begin(), list.end(), f), list.end());
                }
            }
            else {
                for (int k = 0; k < 3; ++k)
                    if (m_faces(f, k) == b)
                        m_faces(f, k) = a;
                m_facesOf[static_cast<std::size_t>(a)].push_back(f);
            }
        }
        m_facesOf[static_cast<std::size_t>(b)].clear();
        m_positions.row(a) = target.transpose();
        m_quadrics[static_cast<std::size_t>(a)] += m_quadrics[static_cast<std::size_t>(b)];
        ++m_stamp[static_cast<std::size_t>(a)];
        ++m_stamp[static_cast<std::size_t>(b)];
        // Only the edges at a change their cost; whether another collapse is still allowed is
        // checked when it comes up.
        neighbours(a, m_aNeighbours);
        for (std::int32_t neighbour : m_aNeighbours)
            push(std::min(a, neighbour), std::max(a, neighbour));
        return true;
    }

    Points m_positions;
    Triangles m_faces;
    std::vector<bool> m_alive;
    std::vector<std::vector<std::int32_t>> m_facesOf;
    std::vector<Quadric> m_quadrics;
    std::vector<std::uint32_t> m_stamp;
    Eigen::Index m_faceCount = 0;
    std::vector<Candidate> m_queue;  // a heap, least cost first
    std::vector<std::int32_t> m_aNeighbours, m_bNeighbours;  // scratch of collapse
};

}  // namespace

TriangleSurface decimate(const TriangleSurface& surface, double share, const std::function<void(double)>& progress)
{
    if (!(share > 0.0 && share <= 1.0))
        throw std::invalid_argument("the share of triangles kept must lie in (0, 1]");
    if (share == 1.0)
        return surface;
    Decimator decimator(surface, progress);
    decimator.run(static_cast<Eigen::Index>(std::floor(share * static_cast<double>(surface.faces.rows()))), progress);
    return decimator.result();
}

}  // namespace corvaxis::surface
