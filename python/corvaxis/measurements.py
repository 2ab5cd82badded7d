"""Measurements of structures: mesh sizes, volumes and areas, and per-structure statistics rows.

Meshes are measured in world coordinates (their vertices placed by the mesh's own matrix). The
volume is the signed volume the triangles enclose (divergence theorem), so it is meaningful for
closed, consistently oriented surfaces such as those built from label maps; its absolute value is
given, so the orientation of the triangles does not matter.
"""

from __future__ import annotations

import csv
import dataclasses
import math
import os
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import NDArray

# The columns of statistics.csv, one row per subject and structure.
COLUMNS = ("subject", "structure", "label", "voxel_count", "volume_mm3", "surface_area_mm2", "centroid_x",
           "centroid_y", "centroid_z", "rms_before_mm", "rms_after_mm", "mean_surface_distance_mm")


@dataclasses.dataclass(frozen=True)
class MeshFigures:
    vertices: int
    triangles: int
    volume: float        # mm³, enclosed
    area: float          # mm²
    centroid: NDArray[np.float64]   # of the enclosed volume, world coordinates (NaN when it is empty)


def world_vertices(mesh: Any) -> NDArray[np.float64]:
    vertices = np.asarray(mesh.vertices, dtype=np.float64).reshape(-1, 3)
    matrix = np.asarray(mesh.matrix, dtype=np.float64)
    return vertices @ matrix[:3, :3].T + matrix[:3, 3]


def mesh_figures(mesh: Any) -> MeshFigures:
    """Vertex and triangle counts, enclosed volume, area and volume centroid of a mesh."""
    vertices = world_vertices(mesh)
    faces = np.asarray(mesh.faces, dtype=np.int64).reshape(-1, 3)
    if len(faces) == 0:
        return MeshFigures(len(vertices), 0, 0.0, 0.0, np.full(3, np.nan))
    a, b, c = (vertices[faces[:, corner]] for corner in range(3))
    # Relative to a point near the mesh, which keeps the sums exact-ish far from the origin.
    origin = vertices.mean(axis=0)
    a, b, c = a - origin, b - origin, c - origin
    signed = np.einsum("ij,ij->i", a, np.cross(b, c)) / 6.0
    volume = float(signed.sum())
    area = float(np.linalg.norm(np.cross(b - a, c - a), axis=1).sum() / 2.0)
    if abs(volume) > 1e-12 * max(area, 1.0) ** 1.5:
        centroid = origin + (signed[:, None] * (a + b + c) / 4.0).sum(axis=0) / volume
    else:
        centroid = np.full(3, np.nan)
    return MeshFigures(len(vertices), len(faces), abs(volume), area, centroid)


def subject_name(path: str | os.PathLike[str]) -> str:
    """A file's name without its suffixes: subject_03 for subject_03.nii.gz or subject_03.cvx."""
    return os.path.basename(os.fspath(path)).split(".")[0]


def structure_rows(collection: Any, subject: str, registration: dict[str, dict[str, float]] | None = None
                   ) -> list[dict[str, Any]]:
    """One statistics row per structure of a collection, ordered by structure identifier.

    Label, voxel count and volume come from the "surface" mesh's attributes where the collection
    was built from a label map (the volume of its voxels), else the volume is the one the surface
    encloses; the area is the surface's; the centroid is the "centroid" keypoint, else the
    centroid of the enclosed volume. registration maps identifiers to figures of a registration
    ("rms_before", "rms_after", "mean_distance"); without them those columns stay empty.
    """
    rows = []
    for identifier in sorted(collection.anatomical_structure_identifiers()):
        structure = collection.anatomical_structure(identifier)
        row: dict[str, Any] = dict.fromkeys(COLUMNS, "")
        row["subject"], row["structure"] = subject, identifier
        keys = list(structure.meshes.keys())
        key = "surface" if "surface" in keys else (keys[0] if keys else None)
        centroid = None
        if key is not None:
            figures = mesh_figures(structure.meshes[key])
            attributes = structure.meshes.attributes[key]
            row["label"] = attributes.get("label", "")
            row["voxel_count"] = attributes.get("voxel_count", "")
            row["volume_mm3"] = attributes.get("volume", figures.volume)
            row["surface_area_mm2"] = figures.area
            centroid = figures.centroid
        if "centroid" in structure.keypoints2.keys():
            centroid = structure.keypoints2["centroid"]
        if centroid is not None and np.all(np.isfinite(centroid)):
            row["centroid_x"], row["centroid_y"], row["centroid_z"] = (float(value) for value in centroid)
        figures_of = (registration or {}).get(identifier, {})
        for column, name in (("rms_before_mm", "rms_before"), ("rms_after_mm", "rms_after"),
                             ("mean_surface_distance_mm", "mean_distance")):
            if name in figures_of:
                row[column] = figures_of[name]
        rows.append(row)
    return rows


def format_value(value: Any) -> str:
    if isinstance(value, float):
        return "" if math.isnan(value) else repr(round(value, 6))
    return str(value)


def write_statistics(rows: Iterable[dict[str, Any]], path: str | os.PathLike[str]) -> None:
    """Writes rows as CSV with the COLUMNS header, through a temporary file that replaces path."""
    path = os.fspath(path)
    temporary = os.path.join(os.path.dirname(os.path.abspath(path)), f".partial-{os.getpid()}-{os.path.basename(path)}")
    try:
        with open(temporary, "w", newline="", encoding="utf-8") as stream:
            writer = csv.writer(stream)
            writer.writerow(COLUMNS)
            for row in rows:
                writer.writerow(format_value(row[column]) for column in COLUMNS)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
