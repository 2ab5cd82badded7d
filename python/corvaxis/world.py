"""Where everything a collection holds lies in the world.

One reading holds for every way out of the package (export, pictures, conversions to other
libraries, markups files, shape models, the command line), and this module is where it lives:

- a value of ``keypoints2`` or ``planes`` is in world coordinates as stored (mm; RAS for data
  from NIfTI); a plane ``(a, b, c, d)`` is ``a x + b y + c z + d = 0``;
- a mesh, point cloud or graph is placed in the world by its own ``matrix``: vertices, points and
  nodes are in the object's frame, and normals turn with the inverse transpose of the matrix;
- an image set is placed by ``voxel_to_world``: the centre of voxel ``(x, y, z)`` of the current
  image is at ``voxel_to_world @ (x, y, z, 1)``;
- a structure's ``matrix_to_world`` is the frame its local values refer to. It is never applied
  again to world values or to objects that carry their own matrix.

``positions(liver, "meshes", "surface")`` gives the world vertices of a stored mesh,
``positions(mesh)`` those of a mesh held anywhere, ``normals(...)`` their world normals. See
docs/coordinates.md for a worked example and what each file format holds.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, overload

import numpy as np
from numpy.typing import ArrayLike

from corvaxis._core import Mesh, PointCloud, SharedImageSet
from corvaxis.graph import Graph

if TYPE_CHECKING:
    from corvaxis.anatomy import AnatomicalStructure

# The stores of a structure, by the names of its properties.
STORES = ("keypoints2", "planes", "meshes", "pointclouds", "graphs", "images")

__all__ = ["STORES", "normals", "positions", "transform_normals", "transform_points"]


def transform_points(matrix: ArrayLike, points: ArrayLike) -> np.ndarray:
    """Points (N, 3) mapped by a 4x4 affine matrix, as a new (N, 3) float64 array."""
    matrix = np.asarray(matrix, dtype=np.float64)
    return np.asarray(points, dtype=np.float64).reshape(-1, 3) @ matrix[:3, :3].T + matrix[:3, 3]


def transform_normals(matrix: ArrayLike, normals: ArrayLike) -> np.ndarray:
    """Normals (N, 3) turned by the inverse transpose of a 4x4 affine matrix and made unit length
    (zero normals stay zero), as a new (N, 3) float64 array."""
    linear = np.asarray(matrix, dtype=np.float64)[:3, :3]
    turned = np.asarray(normals, dtype=np.float64).reshape(-1, 3) @ np.linalg.inv(linear)
    lengths = np.linalg.norm(turned, axis=1, keepdims=True)
    return np.divide(turned, lengths, out=np.zeros_like(turned), where=lengths > 0)


def _voxel_centres(images: SharedImageSet) -> np.ndarray:
    if len(images) == 0:
        raise ValueError("an empty image set has no voxels")
    shape = images.get().shape
    indices = np.indices(shape, dtype=np.float64)[::-1]  # x, y (, z): x indexes the last axis
    voxels = np.zeros((*shape, 3))
    voxels[..., :len(shape)] = np.moveaxis(indices, 0, -1)
    voxel_to_world = images.voxel_to_world
    assert voxel_to_world is not None  # a set with an image has its geometry
    return transform_points(voxel_to_world, voxels.reshape(-1, 3)).reshape(*shape, 3)


def _entry(structure: AnatomicalStructure, store: str, key: str) -> Any:
    if store not in STORES:
        raise ValueError(f"unknown store '{store}', expected one of {', '.join(STORES)}")
    return getattr(structure, store)[key]


@overload
def positions(source: AnatomicalStructure, store: str, key: str) -> np.ndarray: ...
@overload
def positions(source: Mesh | PointCloud | Graph | SharedImageSet) -> np.ndarray: ...
def positions(source: Any, store: str | None = None, key: str | None = None) -> np.ndarray:
    """World positions of a store entry, ``positions(structure, store, key)``, or of a data object,
    ``positions(data)``, as a new float64 array:

    - ``keypoints2``: the (3,) point as stored;
    - ``planes``: the (4,) coefficients as stored;
    - ``meshes``, ``pointclouds``, ``graphs`` (or a Mesh, PointCloud, Graph): the (N, 3) vertices,
      points or nodes mapped by the object's ``matrix``;
    - ``images`` (or a SharedImageSet): the voxel centres of the current image mapped by
      ``voxel_to_world``, shaped like its pixels plus a last axis of 3, ``[z, y, x, :]``.

    An unknown store raises ``ValueError``, a missing key ``KeyError``.
    """
    if store is not None or key is not None:
        if store is None or key is None:
            raise TypeError("positions takes a structure with a store and a key, or a data object alone")
        source = _entry(source, store, key)
        if store in ("keypoints2", "planes"):
            return np.array(source, dtype=np.float64)
    if isinstance(source, Mesh):
        return transform_points(source.matrix, source.vertices)
    if isinstance(source, PointCloud):
        return transform_points(source.matrix, source.points)
    if isinstance(source, Graph):
        return transform_points(source.matrix, source.nodes)
    if isinstance(source, SharedImageSet):
        return _voxel_centres(source)
    raise TypeError(f"positions takes a Mesh, PointCloud, Graph or SharedImageSet, or a structure with a store "
                    f"and a key, got {type(source).__name__}")


@overload
def normals(source: AnatomicalStructure, store: str, key: str) -> np.ndarray | None: ...
@overload
def normals(source: Mesh | PointCloud) -> np.ndarray | None: ...
def normals(source: Any, store: str | None = None, key: str | None = None) -> np.ndarray | None:
    """World unit normals (N, 3) of a stored mesh or point cloud, ``normals(structure, store,
    key)``, or of a Mesh or PointCloud, ``normals(data)``: its normals turned by the inverse
    transpose of its ``matrix``; None when it holds no normals."""
    if store is not None or key is not None:
        if store not in ("meshes", "pointclouds") or key is None:
            raise ValueError(f"normals are held by the stores meshes and pointclouds, not '{store}'")
        source = _entry(source, store, key)
    if not isinstance(source, (Mesh, PointCloud)):
        raise TypeError(f"normals takes a Mesh or PointCloud, or a structure with a store and a key, "
                        f"got {type(source).__name__}")
    held = source.normals
    return None if held is None else transform_normals(source.matrix, held)
