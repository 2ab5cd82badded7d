"""Writing collections out for other tools: meshes as PLY, STL or OBJ, point clouds as PLY,
keypoints and planes as JSON.

Geometry is written in world coordinates, since none of these formats carries a transformation:
keypoints and planes as stored, meshes and point clouds placed by their own ``matrix``
(``corvaxis.world``). The structure's ``matrix_to_world`` is not applied on top of them.
"""

from __future__ import annotations

import json
import os
import re
import struct

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from corvaxis import world

if TYPE_CHECKING:
    from corvaxis.anatomy import AnatomicalStructureCollection

_FilePath = str | os.PathLike[str]

MESH_FORMATS = ("ply", "stl", "obj")


def _vertices_and_faces(vertices: ArrayLike, faces: ArrayLike | None) -> tuple[np.ndarray, np.ndarray]:
    vertices = np.ascontiguousarray(vertices, dtype=float).reshape(-1, 3)
    faces = np.zeros((0, 3), dtype=np.int64) if faces is None else np.asarray(faces, dtype=np.int64).reshape(-1, 3)
    if len(faces) and (faces.min() < 0 or faces.max() >= len(vertices)):
        raise ValueError(f"faces refer to vertices outside [0, {len(vertices)})")
    return vertices, faces


def write_ply(path: _FilePath, vertices: ArrayLike, faces: ArrayLike | None = None, *, binary: bool = True) -> None:
    """A PLY file with float64 vertices and, when given, triangles (little-endian when binary)."""
    vertices, faces = _vertices_and_faces(vertices, faces)
    header = ["ply", "format " + ("binary_little_endian" if binary else "ascii") + " 1.0",
              "comment written by corvaxis", f"element vertex {len(vertices)}",
              "property double x", "property double y", "property double z"]
    if len(faces):
        header += [f"element face {len(faces)}", "property list uchar int vertex_indices"]
    header.append("end_header")
    with open(path, "wb") as file:
        file.write(("\n".join(header) + "\n").encode("ascii"))
        if binary:
            file.write(vertices.astype("<f8").tobytes())
            if len(faces):
                records = np.empty(len(faces), dtype=[("count", "u1"), ("indices", "<i4", (3,))])
                records["count"] = 3
                records["indices"] = faces
                file.write(records.tobytes())
        else:
            file.writelines(f"{x!r} {y!r} {z!r}\n".encode("ascii") for x, y, z in vertices.tolist())
            file.writelines(f"3 {a} {b} {c}\n".encode("ascii") for a, b, c in faces.tolist())


def write_stl(path: _FilePath, vertices: ArrayLike, faces: ArrayLike, *, name: str = "corvaxis") -> None:
    """A binary STL file: one record per triangle with its unit normal (float32, as STL stores)."""
    vertices, faces = _vertices_and_faces(vertices, faces)
    triangles = vertices[faces]
    normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    normals = np.divide(normals, lengths, out=np.zeros_like(normals), where=lengths > 0)
    records = np.zeros(len(faces), dtype=[("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
    records["normal"] = normals
    records["corners"] = triangles
    # A binary STL must not begin with "solid": readers would take it for the text form.
    title = ("corvaxis " + name).encode("ascii", "replace")[:80].ljust(80, b" ")
    with open(path, "wb") as file:
        file.write(title)
        file.write(struct.pack("<I", len(faces)))
        file.write(records.tobytes())


def write_obj(path: _FilePath, vertices: ArrayLike, faces: ArrayLike) -> None:
    """A Wavefront OBJ file with vertices and triangles (indices from 1, as OBJ counts)."""
    vertices, faces = _vertices_and_faces(vertices, faces)
    with open(path, "w", encoding="ascii") as file:
        file.write("# written by corvaxis\n")
        file.writelines(f"v {x!r} {y!r} {z!r}\n" for x, y, z in vertices.tolist())
        file.writelines(f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in faces.tolist())


def write_mesh(path: _FilePath, vertices: ArrayLike, faces: ArrayLike, mesh_format: str, *, binary: bool = True) -> None:
    if mesh_format == "ply":
        write_ply(path, vertices, faces, binary=binary)
    elif mesh_format == "stl":
        write_stl(path, vertices, faces)
    elif mesh_format == "obj":
        write_obj(path, vertices, faces)
    else:
        raise ValueError(f"unknown mesh format '{mesh_format}', expected one of {', '.join(MESH_FORMATS)}")


def write_json(path: _FilePath, value: Any) -> None:
    with open(path, "w", encoding="utf-8") as file:
        json.dump(value, file, indent=2, ensure_ascii=False, allow_nan=False)
        file.write("\n")


class _FileNames:
    """File names from structure identifiers and store keys, which may hold any text.

    Everything but letters, digits, '-', '_' and '.' becomes '_', a name never starts with '.',
    and a name already handed out gets a number, so no name leaves the directory or overwrites
    another file of the same export.
    """

    def __init__(self) -> None:
        self.used: set[str] = set()

    def __call__(self, *parts: str, suffix: str) -> str:
        stem = "_".join(re.sub(r"[^A-Za-z0-9_.-]", "_", part) for part in parts).lstrip(".") or "unnamed"
        name, number = stem + suffix, 2
        while name.lower() in self.used:
            name, number = f"{stem}-{number}{suffix}", number + 1
        self.used.add(name.lower())
        return name


def export_collection(collection: AnatomicalStructureCollection, directory: _FilePath, *, mesh_format: str = "ply",
                      binary: bool = True) -> list[str]:
    """Write every mesh, point cloud, keypoint and plane of a collection into directory.

    Meshes become ``<structure>_<key>.<mesh_format>``, point clouds ``<structure>_<key>.ply``;
    keypoints and planes of all structures go to ``landmarks.json``: ``{"structures":
    [{"identifier": text, "matrix_to_world": 4x4, "keypoints": {key: [x, y, z]}, "planes":
    {key: [a, b, c, d]}}]}``, one entry per structure in collection order (identifiers may
    repeat), with points and planes (a x + b y + c z + d = 0) in world coordinates as the stores
    hold them; ``matrix_to_world`` is the structure's frame, already accounted for. Returns the
    paths written, in writing order. The directory is created if needed.
    """
    if mesh_format not in MESH_FORMATS:
        raise ValueError(f"unknown mesh format '{mesh_format}', expected one of {', '.join(MESH_FORMATS)}")
    directory = os.fspath(directory)
    os.makedirs(directory, exist_ok=True)
    names = _FileNames()
    names("landmarks", suffix=".json")
    written: list[str] = []
    landmarks: list[dict[str, Any]] = []
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        identifier = structure.identifier
        landmarks.append({
            "identifier": identifier,
            "matrix_to_world": np.asarray(structure.matrix_to_world, dtype=float).tolist(),
            "keypoints": {key: world.positions(structure, "keypoints2", key).tolist()
                          for key in structure.keypoints2.keys()},
            "planes": {key: world.positions(structure, "planes", key).tolist() for key in structure.planes.keys()},
        })
        meshes = structure.meshes
        for key in meshes.keys():
            mesh = meshes[key]
            path = os.path.join(directory, names(identifier, key, suffix="." + mesh_format))
            write_mesh(path, world.positions(mesh), mesh.faces, mesh_format, binary=binary)
            written.append(path)
        for key in structure.pointclouds.keys():
            path = os.path.join(directory, names(identifier, key, suffix=".ply"))
            write_ply(path, world.positions(structure, "pointclouds", key), binary=binary)
            written.append(path)
    path = os.path.join(directory, "landmarks.json")
    write_json(path, {"structures": landmarks})
    written.append(path)
    return written
