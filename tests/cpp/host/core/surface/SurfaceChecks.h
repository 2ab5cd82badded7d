#pragma once

#include "corvaxis/core/Geometry.h"

#include <Eigen/Geometry>

#include <gtest/gtest.h>

#include <map>
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

}  // namespace corvaxis::test
