"""corvaxis.world on what the end-to-end test of one world (tests/python/anatomy/test_one_world.py) does
not reach: flat images, objects without normals, and the refusals."""

import numpy as np
import pytest

import corvaxis
from corvaxis import world


def flat_image():
    images = corvaxis.SharedImageSet(np.zeros((2, 3), dtype=np.uint8), spacing=(2.0, 3.0, 1.0))
    images.matrix = np.diag([1.0, -1.0, 1.0, 1.0])
    return images


@pytest.mark.parametrize("data, expected", [
    # (H, W) pixels: voxel (x, y) lies at matrix @ (2 x, 3 y, 0), indexed [y, x].
    (flat_image(), np.array([[[0.0, 0, 0], [2, 0, 0], [4, 0, 0]], [[0, -3, 0], [2, -3, 0], [4, -3, 0]]])),
    (corvaxis.Graph(np.eye(3), np.array([[0, 1]])), np.eye(3)),
])
def test_positions_of_data_objects(data, expected):
    np.testing.assert_array_equal(world.positions(data), expected)


def test_normals_are_none_where_none_are_held(cube_mesh):
    assert world.normals(cube_mesh()) is None and world.normals(corvaxis.PointCloud(np.eye(3))) is None


@pytest.mark.parametrize("call, error, message", [
    (lambda s: world.positions(s, "keypoints", "tip"), ValueError, "unknown store 'keypoints', expected one of "
                                                                   "keypoints2, planes, meshes"),
    (lambda s: world.positions(s, "keypoints2"), TypeError, "positions takes a structure with a store and a key"),
    (lambda s: world.positions(s), TypeError, "got GenericAnatomicalStructure"),
    (lambda s: world.positions(s, "keypoints2", "missing"), KeyError, "missing"),
    (lambda s: world.normals(s, "planes", "cut"), ValueError, "normals are held by the stores meshes and pointclouds"),
    (lambda s: world.normals(corvaxis.Graph(np.eye(3), np.zeros((0, 2), dtype=int))), TypeError, "got Graph"),
    (lambda s: world.positions(corvaxis.SharedImageSet()), ValueError, "an empty image set has no voxels"),
])
def test_refusals_say_what_is_wrong(make_structure, call, error, message):
    structure = make_structure("liver", keypoints={"tip": [1.0, 2.0, 3.0]}, planes={"cut": [0.0, 0.0, 1.0, 0.0]})
    with pytest.raises(error, match=message):
        call(structure)
