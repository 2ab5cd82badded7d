"""Linear shape models as numbers.

``corvaxis.anatomy.GenerateLinearShapeModel`` returns its model as a collection: the mean
shape's structures at the model's mean geometry, plus a structure identified ``"shape_model"``
that carries the modes and their variances (the layout is described in docs/shape-models.md).
``LinearShapeModel`` reads that collection back into NumPy arrays and turns coefficients into
shapes and shapes into coefficients::

    model = LinearShapeModel(results["shape_model"])
    shape = model.instance([2.0, -1.0])      # 2 standard deviations along mode 0, -1 along mode 1
    coefficients = model.project(shape)      # array([ 2., -1.]) for a model of two modes

Coefficients are in standard deviations of each mode. ``project`` first aligns the given
collection to the mean as the training did (none, rigid or similarity).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from corvaxis import world

if TYPE_CHECKING:
    from corvaxis.anatomy import AnatomicalStructure, AnatomicalStructureCollection

MODEL_STRUCTURE = "shape_model"

__all__ = ["LinearShapeModel", "MODEL_STRUCTURE"]

_SINGULAR = {"keypoints": "keypoint", "meshes": "mesh"}


def _world_points(structure: AnatomicalStructure, store: str, key: str) -> np.ndarray:
    """The points of one keypoint or mesh of a structure, in world coordinates, as (N, 3)."""
    return world.positions(structure, "keypoints2" if store == "keypoints" else store, key).reshape(-1, 3)


def _aligned(points: np.ndarray, target: np.ndarray, alignment: str) -> np.ndarray:
    """points (N, 3) moved onto target by the least-squares transformation of that kind."""
    if alignment == "none":
        return points
    source_centre, target_centre = points.mean(axis=0), target.mean(axis=0)
    source, centred_target = points - source_centre, target - target_centre
    u, singular, vt = np.linalg.svd(centred_target.T @ source)
    # A reflection is never a valid alignment: flip the weakest axis instead.
    signs = np.array([1.0, 1.0, np.sign(np.linalg.det(u) * np.linalg.det(vt)) or 1.0])
    rotation = u @ np.diag(signs) @ vt
    scale = 1.0
    if alignment == "similarity":
        scale = float((singular * signs).sum() / (source**2).sum())
    return scale * source @ rotation.T + target_centre


class LinearShapeModel:
    """A linear shape model read from the collection that GenerateLinearShapeModel produced.

    ``mean`` is (P, 3), ``modes`` (K, P, 3) with each mode of unit length over all 3P numbers,
    ``variances`` (K,) in descending order; P is the number of model points (keypoints and mesh
    vertices, in the model's order) and K the number of modes. Raises ``ValueError`` when the
    collection holds no model or an inconsistent one.
    """

    def __init__(self, collection: AnatomicalStructureCollection) -> None:
        if MODEL_STRUCTURE not in collection.anatomical_structure_identifiers():
            raise ValueError(f"the collection holds no structure '{MODEL_STRUCTURE}', so it is no shape model")
        carrier = collection.anatomical_structure(MODEL_STRUCTURE)
        clouds = carrier.pointclouds
        if "mean" not in clouds or "modes" not in clouds:
            raise ValueError(f"structure '{MODEL_STRUCTURE}' lacks the point cloud 'mean' or 'modes'")
        description = clouds.attributes["modes"].asdict()
        num_points, num_modes = description["num_points"], description["num_modes"]
        self._mean = clouds["mean"].points
        modes = clouds["modes"].points
        self._variances = np.array([mode["variance"] for mode in description.get("mode", [])], dtype=float)
        self._parts = [(part["structure"], part["store"], part["key"], part["offset"], part["count"])
                       for part in description.get("part", [])]
        self.alignment = description["alignment"]
        if (self._mean.shape != (num_points, 3) or modes.shape != (num_modes * num_points, 3)
                or self._variances.shape != (num_modes,)
                or sum(part[4] for part in self._parts) != num_points):
            raise ValueError(f"the model in structure '{MODEL_STRUCTURE}' is inconsistent: "
                             f"{num_points} points and {num_modes} modes declared")
        self._modes = modes.reshape(num_modes, num_points, 3)
        self._template = collection.clone()
        while MODEL_STRUCTURE in self._template.anatomical_structure_identifiers():
            self._template.pop(MODEL_STRUCTURE)
        for array in (self._mean, self._modes, self._variances):
            array.flags.writeable = False

    @property
    def mean(self) -> np.ndarray:
        """The mean shape's points, (P, 3), world coordinates."""
        return self._mean

    @property
    def modes(self) -> np.ndarray:
        """The modes, (K, P, 3), orthonormal over all 3P numbers, largest variance first."""
        return self._modes

    @property
    def variances(self) -> np.ndarray:
        """The variance along each mode (normalised by n - 1), descending, (K,)."""
        return self._variances

    @property
    def num_modes(self) -> int:
        return len(self._variances)

    @property
    def num_points(self) -> int:
        return len(self._mean)

    def points(self, coefficients: ArrayLike) -> np.ndarray:
        """The model points, (P, 3), for coefficients in standard deviations of each mode."""
        coefficients = np.asarray(coefficients, dtype=float)
        if coefficients.shape != (self.num_modes,):
            raise ValueError(f"coefficients must have shape ({self.num_modes},), not {coefficients.shape}")
        if not np.isfinite(coefficients).all():
            raise ValueError("coefficients must be finite")
        weights = coefficients * np.sqrt(self._variances)
        return self._mean + np.tensordot(weights, self._modes, axes=1)

    def instance(self, coefficients: ArrayLike) -> AnatomicalStructureCollection:
        """A new collection: the mean shape's structures moved to the shape of these coefficients."""
        points = self.points(coefficients)
        collection = self._template.clone()
        for identifier, store, key, offset, count in self._parts:
            structure = collection.anatomical_structure(identifier)
            part = points[offset:offset + count]
            if store == "keypoints":
                structure.keypoints2[key] = part[0]
                continue
            mesh = structure.meshes[key]
            had_normals = mesh.normals is not None
            mesh.set_geometry(world.transform_points(np.linalg.inv(mesh.matrix), part), mesh.faces)
            if had_normals:
                mesh.compute_normals()
            structure.meshes[key] = mesh
        return collection

    def shape_points(self, collection: AnatomicalStructureCollection) -> np.ndarray:
        """The collection's model points, (P, 3), world coordinates, not aligned. ``KeyError``
        names a structure, keypoint or mesh the collection lacks; ``ValueError`` a vertex count."""
        pieces = []
        for identifier, store, key, offset, count in self._parts:
            if identifier not in collection.anatomical_structure_identifiers():
                raise KeyError(f"the collection holds no structure '{identifier}'")
            structure = collection.anatomical_structure(identifier)
            if key not in getattr(structure, "keypoints2" if store == "keypoints" else "meshes"):
                raise KeyError(f"structure '{identifier}' has no {_SINGULAR[store]} '{key}'")
            piece = _world_points(structure, store, key)
            if len(piece) != count:
                raise ValueError(f"mesh '{key}' of structure '{identifier}' has {len(piece)} vertices instead of {count}")
            pieces.append(piece)
        return np.concatenate(pieces)

    def project(self, collection: AnatomicalStructureCollection, max_iterations: int = 100,
                tolerance: float = 1e-10) -> np.ndarray:
        """The coefficients (standard deviations of each mode) of the collection's shape, after
        aligning it to the mean as the training did; (K,).

        The alignment is then refined against the model's own fit (align to the fitted shape,
        project again, until the coefficients change by less than tolerance), so that pose and
        shape are found together: a shape's pose never leaks into modes of small variance, and
        project(instance(b)) gives back b.
        """
        points = self.shape_points(collection)
        flat_modes = self._modes.reshape(self.num_modes, -1)
        scale = np.sqrt(self._variances)
        target = self._mean
        coefficients = np.zeros(self.num_modes)
        for _ in range(max_iterations):
            aligned = _aligned(points, target, self.alignment)
            previous, coefficients = coefficients, flat_modes @ (aligned - self._mean).reshape(-1) / scale
            if np.max(np.abs(coefficients - previous), initial=0.0) < tolerance:
                break
            target = self.points(coefficients)
        return coefficients

    def __repr__(self) -> str:
        return f"<LinearShapeModel, points={self.num_points}, modes={self.num_modes}, alignment='{self.alignment}'>"
