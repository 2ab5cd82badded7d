"""Shared factories of the anatomy tests: transformations, collection pairs for registration,
plain snapshots of a collection's content, and label images."""

import types

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy


def similarity(degrees=0.0, axis=(0.0, 0.0, 1.0), translation=(0.0, 0.0, 0.0), scale=1.0):
    """4x4 matrix: rotation by degrees about axis, uniform scale, then translation."""
    axis = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    angle = np.radians(degrees)
    cross = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    rotation = np.eye(3) + np.sin(angle) * cross + (1 - np.cos(angle)) * cross @ cross
    matrix = np.eye(4)
    matrix[:3, :3] = scale * rotation
    matrix[:3, 3] = translation
    return matrix


def move_points(matrix, points):
    points = np.asarray(points, dtype=float)
    return points @ matrix[:3, :3].T + matrix[:3, 3]


def move_plane(matrix, plane):
    """A plane n.x + d = 0 after moving space by matrix, normalised."""
    moved = np.linalg.inv(matrix).T @ np.asarray(plane, dtype=float)
    return moved / np.linalg.norm(moved[:3])


def build_collection(structures):
    """A GenericASC from {identifier: {"keypoints": {...}, "planes": {...}}} (world values)."""
    collection = anatomy.GenericASC()
    for identifier, stores in structures.items():
        structure = anatomy.GenericAnatomicalStructure(identifier)
        structure.keypoints2 = stores.get("keypoints", {})
        structure.planes = stores.get("planes", {})
        collection.add(structure)
    return collection


def registration_pair(truth, points=None, planes=None, rng=None, noise=0.0):
    """Fixed and moving collections whose correspondences are related by truth (moving to fixed):
    points and planes are given in the moving world, split over two structures."""
    rng = rng or np.random.default_rng(1)
    points = {} if points is None else points
    planes = {} if planes is None else planes
    moving, fixed = {}, {}
    for index, (key, point) in enumerate(points.items()):
        identifier = ("liver", "kidney")[index % 2]
        moving.setdefault(identifier, {"keypoints": {}, "planes": {}})["keypoints"][key] = np.asarray(point, float)
        target = move_points(truth, point) + rng.normal(scale=noise, size=3) if noise else move_points(truth, point)
        fixed.setdefault(identifier, {"keypoints": {}, "planes": {}})["keypoints"][key] = target
    for key, plane in planes.items():
        moving.setdefault("liver", {"keypoints": {}, "planes": {}})["planes"][key] = np.asarray(plane, float)
        fixed.setdefault("liver", {"keypoints": {}, "planes": {}})["planes"][key] = move_plane(truth, plane)
    return build_collection(fixed), build_collection(moving)


def snapshot(collection):
    """Everything registration may touch, as (label, array) pairs in a fixed order."""
    values = []
    for index in range(collection.num_anatomical_structures()):
        structure = collection.anatomical_structure(index)
        name = structure.identifier
        values.append((f"{name} matrix_to_world", structure.matrix_to_world))
        for store in ("keypoints2", "planes"):
            for key, value in getattr(structure, store).asdict().items():
                values.append((f"{name} {store} {key}", value))
        for store in ("images", "meshes", "pointclouds", "graphs"):
            for key, value in getattr(structure, store).asdict().items():
                values.append((f"{name} {store} {key} matrix", value.matrix))
    return values


def assert_same_snapshot(before, after):
    assert [label for label, _ in before] == [label for label, _ in after]
    for (label, old), (_, new) in zip(before, after):
        np.testing.assert_array_equal(new, old, err_msg=label)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture
def registration_kit():
    """The helpers above, for tests that build registrations."""
    helpers = (similarity, move_points, move_plane, build_collection, registration_pair, snapshot, assert_same_snapshot)
    return types.SimpleNamespace(**{helper.__name__: helper for helper in helpers})




def paint_ellipsoids(shape, ellipsoids, dtype=np.uint8):
    """A (D, H, W) label array with ellipsoids ((x, y, z) centre, (x, y, z) semi-axes, label) painted in."""
    volume = np.zeros(shape, dtype=dtype)
    z, y, x = np.indices(shape)
    for centre, semi_axes, label in ellipsoids:
        inside = sum(((axis - c) / r) ** 2 for axis, c, r in zip((x, y, z), centre, semi_axes)) <= 1.0
        volume[inside] = label
    return volume


@pytest.fixture
def paint():
    return paint_ellipsoids


@pytest.fixture
def label_image():
    """label_image(ellipsoids, shape=(24, 28, 32), spacing=(1, 1, 1), dtype=uint8) -> a label SharedImageSet."""

    def make(ellipsoids, shape=(24, 28, 32), spacing=(1.0, 1.0, 1.0), dtype=np.uint8):
        return corvaxis.SharedImageSet(
            paint_ellipsoids(shape, ellipsoids, dtype), spacing=spacing, modality=corvaxis.Modality.LABEL
        )

    return make


@pytest.fixture
def organs():
    """Three labels: a large liver, a kidney in two pieces (labels 2 and 4) and a spleen at the border."""
    return [
        ((10.0, 12.0, 10.0), (7.0, 6.0, 5.0), 1),
        ((24.0, 8.0, 12.0), (3.0, 3.0, 4.0), 2),
        ((24.0, 20.0, 12.0), (3.0, 3.0, 4.0), 4),
        ((31.0, 14.0, 20.0), (4.0, 5.0, 4.0), 3),
    ]
