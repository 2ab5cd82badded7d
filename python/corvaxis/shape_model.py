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


def _pose_step(points: np.ndarray, mean: np.ndarray, flat_modes: np.ndarray, alignment: str) -> np.ndarray:
    """The Gauss-Newton step of the pose: translation (3), rotation vector (3) and, for a
    similarity, log-scale (1), about the points' centre, that best brings the points into the
    model's span (mean plus modes) to first order. The modes' span is projected out of the
    residual and of the pose directions, so that the step and the coefficients are solved
    together in closed form."""
    centred = points - points.mean(axis=0)
    directions = [np.tile(axis, (len(points), 1)) for axis in np.eye(3)]
    directions += [np.cross(axis, centred) for axis in np.eye(3)]
    if alignment == "similarity":
        directions.append(centred)
    jacobian = np.stack([direction.reshape(-1) for direction in directions], axis=1)
    residual = (points - mean).reshape(-1)

    def off_model(vectors: np.ndarray) -> np.ndarray:
        return vectors - flat_modes.T @ (flat_modes @ vectors)

    step, *_ = np.linalg.lstsq(off_model(jacobian), -off_model(residual), rcond=None)
    return step


def _moved(points: np.ndarray, step: np.ndarray) -> np.ndarray:
    """points moved by a pose step of _pose_step, exactly: the rotation by Rodrigues' formula."""
    centre = points.mean(axis=0)
    rotation_vector = step[3:6]
    angle = float(np.linalg.norm(rotation_vector))
    cross = np.zeros((3, 3))
    if angle > 0.0:
        x, y, z = rotation_vector / angle
        cross = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    rotation = np.eye(3) + np.sin(angle) * cross + (1.0 - np.cos(angle)) * cross @ cross
    scale = float(np.exp(step[6])) if len(step) > 6 else 1.0
    return scale * (points - centre) @ rotation.T + centre + step[:3]


_ALIGNMENTS = ("none", "rigid", "similarity")
_ORTHONORMAL_TOLERANCE = 1e-6


def _field(block: dict, name: str, kinds: tuple[type, ...], where: str):
    """block[name] when it is of one of the kinds (a bool is never a number); ValueError naming
    the field otherwise."""
    if name not in block:
        raise ValueError(f"the model's {where} lacks the field '{name}'")
    value = block[name]
    if type(value) not in kinds:
        expected = " or ".join(kind.__name__ for kind in kinds)
        raise ValueError(f"the model's {where}: field '{name}' must be {expected}, got {type(value).__name__}")
    return value


def _blocks(description: dict, name: str) -> list[dict]:
    blocks = description.get(name, [])
    if not isinstance(blocks, list):
        raise ValueError(f"the model's '{name}' entries must be sub-blocks, got a value")
    return blocks


def _read_variances(description: dict) -> np.ndarray:
    variances = []
    for index, mode in enumerate(_blocks(description, "mode")):
        variance = float(_field(mode, "variance", (float, int), f"mode {index}"))
        # Zero is no mode either: projecting divides by the standard deviation.
        if not (np.isfinite(variance) and variance > 0.0):
            raise ValueError(f"the model's mode {index}: variance {variance!r} is not a positive finite number")
        variances.append(variance)
    return np.array(variances, dtype=float)


def _read_parts(description: dict, template: AnatomicalStructureCollection,
                num_points: int) -> list[tuple[str, str, str, int, int]]:
    """The parts in model order, each checked against the template: they follow one another
    without gaps from point 0 to num_points, and each names a keypoint or mesh of the template
    with as many points as it counts."""
    identifiers = set(template.anatomical_structure_identifiers())
    parts, seen, end = [], set(), 0
    for index, part in enumerate(_blocks(description, "part")):
        where = f"part {index}"
        identifier = _field(part, "structure", (str,), where)
        store = _field(part, "store", (str,), where)
        key = _field(part, "key", (str,), where)
        offset = _field(part, "offset", (int,), where)
        count = _field(part, "count", (int,), where)
        if store not in _SINGULAR:
            raise ValueError(f"the model's {where}: store {store!r} is none of 'keypoints', 'meshes'")
        if (identifier, store, key) in seen:
            raise ValueError(f"the model's {where}: {_SINGULAR[store]} '{key}' of structure '{identifier}' "
                             "appears twice")
        seen.add((identifier, store, key))
        if offset != end:
            raise ValueError(f"the model's {where}: offset {offset} is not {end}, where the parts before it end")
        if count < 1 or offset + count > num_points:
            raise ValueError(f"the model's {where}: count {count} does not fit between offset {offset} and the "
                             f"{num_points} model points")
        if identifier not in identifiers:
            raise ValueError(f"the model's {where}: structure '{identifier}' is not in the collection")
        entries = getattr(template.anatomical_structure(identifier), "keypoints2" if store == "keypoints" else store)
        if key not in entries:
            raise ValueError(f"the model's {where}: structure '{identifier}' has no {_SINGULAR[store]} '{key}'")
        points = 1 if store == "keypoints" else len(entries[key].vertices)
        if count != points:
            raise ValueError(f"the model's {where}: count {count} is not the {points} points of "
                             f"{_SINGULAR[store]} '{key}' of structure '{identifier}'")
        parts.append((identifier, store, key, offset, count))
        end = offset + count
    if end != num_points:
        raise ValueError(f"the model's parts cover {end} of its {num_points} points")
    return parts


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
        num_points = _field(description, "num_points", (int,), "description")
        num_modes = _field(description, "num_modes", (int,), "description")
        self.alignment = _field(description, "alignment", (str,), "description")
        if self.alignment not in _ALIGNMENTS:
            raise ValueError(f"the model's alignment {self.alignment!r} is none of 'none', 'rigid', 'similarity'")
        self._mean = clouds["mean"].points
        modes = clouds["modes"].points
        self._variances = _read_variances(description)
        if (num_points < 1 or num_modes < 0 or self._mean.shape != (num_points, 3)
                or modes.shape != (num_modes * num_points, 3) or self._variances.shape != (num_modes,)):
            raise ValueError(f"the model in structure '{MODEL_STRUCTURE}' is inconsistent: "
                             f"{num_points} points and {num_modes} modes declared")
        if not (np.isfinite(self._mean).all() and np.isfinite(modes).all()):
            raise ValueError("the model's mean or modes hold values that are not finite")
        self._modes = modes.reshape(num_modes, num_points, 3)
        flat_modes = self._modes.reshape(num_modes, -1)
        if not np.allclose(flat_modes @ flat_modes.T, np.eye(num_modes), rtol=0.0, atol=_ORTHONORMAL_TOLERANCE):
            raise ValueError("the model's modes are not orthonormal")
        self._template = collection.clone()
        while MODEL_STRUCTURE in self._template.anatomical_structure_identifiers():
            self._template.pop(MODEL_STRUCTURE)
        self._parts = _read_parts(description, self._template, num_points)
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

        Pose and shape are found together: the pose (rigid or similarity, as the training) and
        the coefficients that bring the shape closest to the model, refined from the alignment to
        the mean by Gauss-Newton rounds until the coefficients change by less than tolerance. So
        a shape's pose never leaks into modes of small variance, and project(instance(b)) gives
        back b. ``RuntimeError`` when the rounds do not settle within max_iterations.
        """
        points = self.shape_points(collection)
        flat_modes = self._modes.reshape(self.num_modes, -1)
        scale = np.sqrt(self._variances)
        aligned = _aligned(points, self._mean, self.alignment)
        coefficients = flat_modes @ (aligned - self._mean).reshape(-1) / scale
        if self.alignment == "none":
            return coefficients
        change = np.inf
        for _ in range(max_iterations):
            aligned = _moved(aligned, _pose_step(aligned, self._mean, flat_modes, self.alignment))
            previous, coefficients = coefficients, flat_modes @ (aligned - self._mean).reshape(-1) / scale
            change = np.max(np.abs(coefficients - previous), initial=0.0)
            if change < tolerance:
                return coefficients
        raise RuntimeError(f"project: pose and shape did not settle in {max_iterations} rounds (the coefficients "
                           f"still moved by {change:.3g} standard deviations)")

    def __repr__(self) -> str:
        return f"<LinearShapeModel, points={self.num_points}, modes={self.num_modes}, alignment='{self.alignment}'>"
