"""Conversions between corvaxis data and the Python libraries around it.

- meshes and point clouds to and from ``trimesh`` (``Trimesh``, ``PointCloud``) and ``pyvista``
  (``PolyData``): vertices, triangles, per-vertex normals;
- image sets to and from ``nibabel`` images, with the voxel-to-world affine kept exactly, and to
  and from plain NumPy arrays with spacing and image matrix (docs/images.md).

The foreign libraries are optional: each function imports its library when called and raises
``ImportError`` naming the package to install when it is missing. Every array handed back is a
new NumPy array: points, normals and matrices ``float64`` of shape ``(N, 3)`` and ``(4, 4)``,
triangles ``int64`` of shape ``(M, 3)``.

Meshes and point clouds keep their values: vertices are exchanged as stored, and the object's own
``matrix`` travels with them (trimesh ``metadata["matrix"]``, PyVista ``field_data["matrix"]``) and
is restored on the way back. With ``world=True`` the matrix is applied instead (normals turned by
its inverse transpose, as ``corvaxis.world`` places every object), for tools that should see world
coordinates.
"""

from __future__ import annotations

import importlib
from typing import Any, NamedTuple

import numpy as np

from corvaxis import world as _world
from corvaxis._core import Mesh, Modality, PointCloud, SharedImageSet

MATRIX_KEY = "matrix"
NORMALS_KEY = "Normals"
# trimesh point clouds have no normals of their own; they travel in the metadata.
TRIMESH_NORMALS_KEY = "normals"


def _require(package: str, function: str) -> Any:
    try:
        return importlib.import_module(package)
    except ImportError as error:
        raise ImportError(f"{function} needs the package '{package}': install it "
                          f"(pip install {package}, or Debian's python3-{package})") from error


# --- shared checks ---------------------------------------------------------------------------

def _points(values: Any, name: str) -> np.ndarray:
    points = np.array(values, dtype=np.float64, copy=True)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3), got {points.shape}")
    return points


def _matrix(values: Any, source: str) -> np.ndarray:
    matrix = np.array(values, dtype=np.float64, copy=True)
    if matrix.size != 16:
        raise ValueError(f"{source} must hold a 4x4 matrix, got {matrix.size} values")
    matrix = matrix.reshape(4, 4)
    if not np.isfinite(matrix).all():
        raise ValueError(f"{source} must hold finite numbers")
    return matrix


def _placed(data: Mesh | PointCloud, world: bool):
    """Points, normals and the matrix to hand out (None once applied)."""
    if world:
        return _world.positions(data), _world.normals(data), None
    points = data.vertices if isinstance(data, Mesh) else data.points
    return points, data.normals, np.asarray(data.matrix, dtype=np.float64)


# --- trimesh ---------------------------------------------------------------------------------

def mesh_to_trimesh(mesh: Mesh, *, world: bool = False):
    """A ``trimesh.Trimesh`` with the mesh's vertices, triangles and, when set, normals.

    Vertex order and values are kept (no merging); the mesh's ``matrix`` goes to
    ``metadata["matrix"]``, or is applied to vertices and normals with ``world=True``.
    """
    trimesh = _require("trimesh", "mesh_to_trimesh")
    vertices, normals, matrix = _placed(mesh, world)
    result = trimesh.Trimesh(vertices=vertices, faces=mesh.faces, vertex_normals=normals,
                             process=False, validate=False)
    if matrix is not None:
        result.metadata[MATRIX_KEY] = matrix
    return result


def mesh_from_trimesh(source) -> Mesh:
    """A ``corvaxis.Mesh`` from a ``trimesh.Trimesh``: vertices, triangles, the normals it holds.

    Normals come along only when the ``Trimesh`` holds them already (given or computed), so none
    are invented; ``metadata["matrix"]``, when present, becomes the mesh's ``matrix``.
    """
    trimesh = _require("trimesh", "mesh_from_trimesh")
    if not isinstance(source, trimesh.Trimesh):
        raise TypeError(f"mesh_from_trimesh expects a trimesh.Trimesh, got {type(source).__name__}")
    mesh = Mesh(_points(source.vertices, "vertices"), np.asarray(source.faces, dtype=np.int64))
    # trimesh computes normals on first access; its cache tells whether they exist yet.
    if "vertex_normals" in source._cache:
        mesh.normals = _points(source.vertex_normals, "vertex_normals")
    if MATRIX_KEY in source.metadata:
        mesh.matrix = _matrix(source.metadata[MATRIX_KEY], "metadata['matrix']")
    return mesh


def point_cloud_to_trimesh(cloud: PointCloud, *, world: bool = False):
    """A ``trimesh.PointCloud``; normals go to ``metadata["normals"]``, the matrix to
    ``metadata["matrix"]`` (or is applied with ``world=True``)."""
    trimesh = _require("trimesh", "point_cloud_to_trimesh")
    points, normals, matrix = _placed(cloud, world)
    result = trimesh.PointCloud(points)
    if normals is not None:
        result.metadata[TRIMESH_NORMALS_KEY] = normals
    if matrix is not None:
        result.metadata[MATRIX_KEY] = matrix
    return result


def point_cloud_from_trimesh(source) -> PointCloud:
    """A ``corvaxis.PointCloud`` from a ``trimesh.PointCloud`` (normals and matrix from its
    metadata when present)."""
    trimesh = _require("trimesh", "point_cloud_from_trimesh")
    if not isinstance(source, trimesh.PointCloud):
        raise TypeError(f"point_cloud_from_trimesh expects a trimesh.PointCloud, got {type(source).__name__}")
    normals = source.metadata.get(TRIMESH_NORMALS_KEY)
    cloud = PointCloud(_points(source.vertices, "vertices"),
                       None if normals is None else _points(normals, "metadata['normals']"))
    if MATRIX_KEY in source.metadata:
        cloud.matrix = _matrix(source.metadata[MATRIX_KEY], "metadata['matrix']")
    return cloud


# --- PyVista ---------------------------------------------------------------------------------

def _polydata(pyvista, points: np.ndarray, normals: np.ndarray | None, matrix: np.ndarray | None,
              faces: np.ndarray | None = None):
    if faces is None:
        result = pyvista.PolyData(points)
    else:
        cells = np.hstack([np.full((len(faces), 1), 3, dtype=np.int64), faces]).ravel()
        result = pyvista.PolyData(points, faces=cells)
    if normals is not None:
        result.point_data[NORMALS_KEY] = normals
        result.point_data.active_normals_name = NORMALS_KEY
    if matrix is not None:
        result.field_data[MATRIX_KEY] = matrix.ravel()
    return result


def _polydata_parts(source, function: str):
    pyvista = _require("pyvista", function)
    if not isinstance(source, pyvista.PolyData):
        raise TypeError(f"{function} expects a pyvista.PolyData, got {type(source).__name__}")
    points = _points(source.points, "points")
    normals = source.point_data.active_normals
    if normals is None and NORMALS_KEY in source.point_data:
        normals = source.point_data[NORMALS_KEY]
    normals = None if normals is None else _points(normals, "point normals")
    matrix = None
    if MATRIX_KEY in source.field_data:
        matrix = _matrix(source.field_data[MATRIX_KEY], "field_data['matrix']")
    return points, normals, matrix


def mesh_to_pyvista(mesh: Mesh, *, world: bool = False):
    """A ``pyvista.PolyData`` of triangles; normals as the active point normals ``"Normals"``, the
    matrix in ``field_data["matrix"]`` (16 values, row by row) or applied with ``world=True``."""
    pyvista = _require("pyvista", "mesh_to_pyvista")
    vertices, normals, matrix = _placed(mesh, world)
    return _polydata(pyvista, vertices, normals, matrix, mesh.faces)


def mesh_from_pyvista(source) -> Mesh:
    """A ``corvaxis.Mesh`` from a ``pyvista.PolyData`` made only of triangles.

    Other polygons, lines and vertex cells are refused with ``ValueError`` (``triangulate()``
    turns polygons into triangles). Point normals come from the active normals, else an array
    named ``"Normals"``.
    """
    points, normals, matrix = _polydata_parts(source, "mesh_from_pyvista")
    if source.n_lines or source.n_verts or source.n_strips:
        raise ValueError("mesh_from_pyvista takes triangles only; the PolyData also holds "
                         f"{source.n_lines} lines, {source.n_verts} vertex cells and {source.n_strips} strips")
    cells = np.asarray(source.faces, dtype=np.int64)
    if len(cells) and not source.is_all_triangles:
        raise ValueError("mesh_from_pyvista takes triangles only; the PolyData holds other polygons "
                         "(call triangulate() first)")
    mesh = Mesh(points, cells.reshape(-1, 4)[:, 1:])
    if normals is not None:
        mesh.normals = normals
    if matrix is not None:
        mesh.matrix = matrix
    return mesh


def point_cloud_to_pyvista(cloud: PointCloud, *, world: bool = False):
    """A ``pyvista.PolyData`` of points; normals and matrix as for ``mesh_to_pyvista``."""
    pyvista = _require("pyvista", "point_cloud_to_pyvista")
    points, normals, matrix = _placed(cloud, world)
    return _polydata(pyvista, points, normals, matrix)


def point_cloud_from_pyvista(source) -> PointCloud:
    """A ``corvaxis.PointCloud`` of the points of a ``pyvista.PolyData`` (cells are ignored)."""
    points, normals, matrix = _polydata_parts(source, "point_cloud_from_pyvista")
    cloud = PointCloud(points, normals)
    if matrix is not None:
        cloud.matrix = matrix
    return cloud


# --- nibabel ---------------------------------------------------------------------------------

def _each_image(images: SharedImageSet):
    """The images of a set with their voxel-to-world mappings, the current index restored after."""
    current = images.selected_index
    try:
        for index in range(len(images)):
            images.selected_index = index
            yield images.get(index), images.voxel_to_world
    finally:
        if len(images):
            images.selected_index = current


def image_set_to_nibabel(images: SharedImageSet):
    """A ``nibabel.Nifti1Image`` of the set, indexed ``[x, y, z]`` (``[x, y, z, t]`` for several
    images), whose ``affine`` is exactly ``images.voxel_to_world``.

    Several 2-D images become ``[x, y, 1, t]``. A label set (``Modality.LABEL``) carries the
    label intent. Every image must have the same
    voxel-to-world mapping, as in a NIfTI file; an empty set is refused.
    """
    nibabel = _require("nibabel", "image_set_to_nibabel")
    if len(images) == 0:
        raise ValueError("an empty image set cannot become a nibabel image")
    arrays, affine = [], None
    for index, (pixels, mapping) in enumerate(_each_image(images)):
        if affine is None:
            affine = mapping
        elif not np.array_equal(mapping, affine):
            raise ValueError(f"image {index} of the set has another voxel-to-world mapping than image 0; "
                             "a nibabel image holds one")
        arrays.append(pixels.T)
    if len(arrays) > 1 and arrays[0].ndim == 2:
        arrays = [array[:, :, np.newaxis] for array in arrays]
    data = arrays[0] if len(arrays) == 1 else np.stack(arrays, axis=-1)
    result = nibabel.Nifti1Image(data, affine)
    result.header.set_xyzt_units("mm")
    if images.modality == Modality.LABEL:
        result.header.set_intent("label")
    return result


_NARROWER = {np.dtype(np.int64): np.int32, np.dtype(np.uint64): np.uint32}


def _host_pixels(data: np.ndarray) -> np.ndarray:
    """Pixels in a type an image holds: 64-bit integers narrowed when every value fits."""
    narrower = _NARROWER.get(data.dtype)
    if narrower is None:
        return data
    if data.dtype.kind in "iu" and data.size:
        limits = np.iinfo(narrower)
        if data.min() < limits.min or data.max() > limits.max:
            raise ValueError(f"{data.dtype} pixels beyond the range of {np.dtype(narrower)} cannot be held")
    return data.astype(narrower)


def image_set_from_nibabel(source, modality: Modality | None = None) -> SharedImageSet:
    """A ``SharedImageSet`` from a nibabel image, with ``voxel_to_world`` exactly its ``affine``.

    A 2-D or 3-D image gives one image, a 4-D image one per volume; the pixels are those nibabel
    reads (scaled when the header says so). ``int64`` and ``uint64`` pixels are narrowed to 32 bits
    when every value fits. An image with the label intent comes as ``Modality.LABEL`` unless
    ``modality`` says otherwise. An image without an affine gets ``diag(voxel sizes, 1)``.
    """
    nibabel = _require("nibabel", "image_set_from_nibabel")
    if not isinstance(source, nibabel.spatialimages.SpatialImage):
        raise TypeError(f"image_set_from_nibabel expects a nibabel image, got {type(source).__name__}")
    data = _host_pixels(np.asarray(source.dataobj))
    if data.ndim not in (2, 3, 4):
        raise ValueError(f"a nibabel image of shape {data.shape} is not 2-D, 3-D or 4-D")
    affine = source.affine
    if affine is None:
        zooms = (tuple(source.header.get_zooms()) + (1.0, 1.0))[:3]
        affine = np.diag([*zooms, 1.0])
    volumes = [data[..., t].T for t in range(data.shape[3])] if data.ndim == 4 else [data.T]
    if modality is None:
        intent = source.header.get_intent()[0] if hasattr(source.header, "get_intent") else "none"
        modality = Modality.LABEL if intent == "label" else Modality.NA
    images = SharedImageSet(volumes, modality=modality)
    images.voxel_to_world = np.asarray(affine, dtype=np.float64)
    return images


# --- NumPy -----------------------------------------------------------------------------------

class ImageArrays(NamedTuple):
    """One image as NumPy arrays: ``voxel_to_world == matrix @ diag(*spacing, 1)``."""

    pixels: np.ndarray
    """(D, H, W) or (H, W), indexed ``[z, y, x]``, in the image's dtype."""
    spacing: np.ndarray
    """(3,) float64 voxel size along x, y, z."""
    matrix: np.ndarray
    """(4, 4) float64 image-to-world matrix applied after the spacing (the set's ``matrix`` included)."""


def image_set_to_numpy(images: SharedImageSet, index: int = -1) -> ImageArrays:
    """The pixels of one image (the current one for -1) with its spacing and image-to-world matrix."""
    if len(images) == 0:
        raise ValueError("an empty image set holds no image")
    pixels = images.get(index)
    current = images.selected_index
    images.selected_index = current if index == -1 else index
    try:
        spacing, image_matrix = images.spacing, images.image_matrix
    finally:
        images.selected_index = current
    assert spacing is not None and image_matrix is not None  # the set is not empty
    matrix = np.asarray(images.matrix, dtype=np.float64) @ image_matrix
    return ImageArrays(pixels, np.asarray(spacing, dtype=np.float64), matrix)


def image_set_from_numpy(pixels: Any, spacing: Any = (1.0, 1.0, 1.0), matrix: Any = None,
                         modality: Modality = Modality.NA) -> SharedImageSet:
    """A ``SharedImageSet`` of one array (or a list of arrays of one shape), ``(D, H, W)`` or
    ``(H, W)`` indexed ``[z, y, x]``, with the spacing and the image-to-world matrix (identity by
    default) of ``image_set_to_numpy``."""
    images = SharedImageSet(pixels, spacing=spacing, modality=modality)
    if matrix is not None:
        images.image_matrix = matrix
    return images


__all__ = [
    "ImageArrays",
    "image_set_from_nibabel",
    "image_set_from_numpy",
    "image_set_to_nibabel",
    "image_set_to_numpy",
    "mesh_from_pyvista",
    "mesh_from_trimesh",
    "mesh_to_pyvista",
    "mesh_to_trimesh",
    "point_cloud_from_pyvista",
    "point_cloud_from_trimesh",
    "point_cloud_to_pyvista",
    "point_cloud_to_trimesh",
]
