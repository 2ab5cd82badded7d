"""Figures of one structure: surface area, keypoint residuals and distances to a surface."""

from __future__ import annotations

import numpy as np

# Rows of query points compared with all surface vertices at once: bounds the temporary arrays
# to a few tens of megabytes for surfaces of up to 10^4 vertices.
_CHUNK = 512


def world_vertices(mesh) -> np.ndarray:
    """A mesh's vertices with its own matrix applied, (N, 3)."""
    matrix = mesh.matrix
    return mesh.vertices @ matrix[:3, :3].T + matrix[:3, 3]


def surface_area(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Summed area of the triangles."""
    a, b, c = (vertices[faces[:, corner]] for corner in range(3))
    return float(0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1).sum())


def keypoint_rms(moving, fixed) -> float:
    """Root mean square distance of the keypoints the two structures share by key; NaN for none."""
    moving_points, fixed_points = moving.keypoints2, fixed.keypoints2
    keys = sorted(set(moving_points.keys()) & set(fixed_points.keys()))
    if not keys:
        return float("nan")
    differences = np.array([np.asarray(moving_points[key]) - np.asarray(fixed_points[key]) for key in keys])
    return float(np.sqrt(np.mean(np.sum(differences**2, axis=1))))


def _incident_faces(num_vertices: int, faces: np.ndarray) -> np.ndarray:
    """(num_vertices, valence) face indices around every vertex, padded with -1."""
    corners = faces.reshape(-1)
    owners = np.repeat(np.arange(len(faces)), 3)
    order = np.argsort(corners, kind="stable")
    corners, owners = corners[order], owners[order]
    counts = np.bincount(corners, minlength=num_vertices)
    table = np.full((num_vertices, max(int(counts.max(initial=0)), 1)), -1, dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    table[corners, np.arange(len(corners)) - starts[corners]] = owners
    return table


def _ring_faces(num_vertices: int, faces: np.ndarray) -> np.ndarray:
    """(num_vertices, width) the faces touching a vertex or one of its neighbours, padded with -1."""
    incident = _incident_faces(num_vertices, faces)
    padded = np.vstack([faces, np.full((1, 3), -1)])
    ring_vertices = padded[incident].reshape(num_vertices, -1)          # -1 rows give -1 vertices
    padded_incident = np.vstack([incident, np.full((1, incident.shape[1]), -1)])
    candidates = np.sort(padded_incident[ring_vertices].reshape(num_vertices, -1), axis=1)
    candidates[:, 1:][candidates[:, 1:] == candidates[:, :-1]] = -1
    candidates.sort(axis=1)                                             # repeats, now -1, go first
    width = max(int((candidates >= 0).sum(axis=1).max(initial=0)), 1)
    return candidates[:, -width:]


def _segment_distances(points, a, b):
    edge = b - a
    length = np.einsum("...i,...i", edge, edge)
    t = np.einsum("...i,...i", points - a, edge) / np.where(length > 0, length, 1.0)
    closest = a + np.clip(t, 0.0, 1.0)[..., None] * edge
    return np.linalg.norm(points - closest, axis=-1)


def _triangle_distances(points, a, b, c):
    """Exact distances of points (..., 3) to triangles (a, b, c) (..., 3)."""
    points = np.broadcast_to(points, a.shape)
    normal = np.cross(b - a, c - a)
    inside = np.ones(a.shape[:-1], dtype=bool)
    for start, end in ((a, b), (b, c), (c, a)):
        inside &= np.einsum("...i,...i", np.cross(end - start, points - start), normal) >= 0
    size = np.linalg.norm(normal, axis=-1)
    inside &= size > 0
    plane = np.abs(np.einsum("...i,...i", points - a, normal)) / np.where(size > 0, size, 1.0)
    edges = np.minimum(np.minimum(_segment_distances(points, a, b), _segment_distances(points, b, c)),
                       _segment_distances(points, c, a))
    return np.where(inside, np.minimum(plane, edges), edges)


def surface_distances(points: np.ndarray, vertices: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """Distance of every point to the triangle surface (vertices, faces), (N,).

    Each point is measured exactly against the triangles around its nearest surface vertex and
    that vertex's neighbours, which hold the closest triangle wherever the surface's triangles are
    small against the distances of interest (the even meshes made from label maps).
    """
    points = np.asarray(points, dtype=float)
    faces = np.asarray(faces, dtype=np.int64)
    if len(points) == 0:
        return np.zeros(0)
    candidates_of = _ring_faces(len(vertices), faces)
    squared_lengths = np.einsum("ij,ij->i", vertices, vertices)
    result = np.empty(len(points))
    for start in range(0, len(points), _CHUNK):
        chunk = points[start:start + _CHUNK]
        # Only the order matters here; the distances themselves are measured exactly below.
        nearest = np.argmin(squared_lengths[None, :] - 2.0 * chunk @ vertices.T, axis=1)
        candidates = candidates_of[nearest]
        valid = candidates >= 0
        triangles = faces[np.where(valid, candidates, 0)]
        a, b, c = (vertices[triangles[..., corner]] for corner in range(3))
        distances = _triangle_distances(chunk[:, None, :], a, b, c)
        result[start:start + _CHUNK] = np.where(valid, distances, np.inf).min(axis=1)
    return result
