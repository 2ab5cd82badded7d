#pragma once

#include "corvaxis/core/surface/BinarySurface.h"

#include <functional>

// Fewer triangles for a closed surface by edge collapses in the order of least quadric error
// (Garland and Heckbert): each vertex carries the sum of the squared distances to the planes of
// its original triangles, and an edge collapses into the end where its two vertices' sum is least,
// so the vertices that remain are some of the given ones and stay on the given surface.
namespace corvaxis::surface {

/// Collapses edges of a closed, consistently oriented 2-manifold until at most `share` (in
/// (0, 1]) of its triangles remain or no edge can collapse. A collapse is refused where it would
/// change the topology (the two vertices share more neighbours than the edge's two triangles'
/// corners, or a shell would drop below a tetrahedron), turn a triangle over or leave one without
/// area, so the result stays a closed 2-manifold with the same shells and Euler number, facing
/// outward. Deterministic. Throws std::invalid_argument for a share outside (0, 1]. `progress`,
/// when given, is called on the calling thread every few thousand candidate collapses with the
/// fraction done; an exception it throws stops the work and propagates.
TriangleSurface decimate(const TriangleSurface& surface, double share, const std::function<void(double)>& progress = {});

}  // namespace corvaxis::surface
