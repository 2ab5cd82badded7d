"""The key-value wrappers over a structure's stores."""

import math

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

NAN = math.nan
INVALID_STORE_LOG = "Attempting to insert invalid entry (nullptr/NaN) into KeyValueStore"


@pytest.fixture
def liver():
    return anatomy.GenericAnatomicalStructure("liver")


def make_mesh(offset=0.0):
    vertices = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=float) + offset
    return corvaxis.Mesh(vertices, np.array([[0, 1, 2]]))


def test_classes_and_docstrings():
    names = ["Vec3", "Vec4", "SharedImageSet", "Mesh", "PointCloud", "Graph"]
    for suffix in names:
        cls = getattr(anatomy, "KeyValueDataWrapper" + suffix)
        assert cls.__doc__.startswith("KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding")
        assert cls.__doc__.endswith("used for logging or tracking.")
        assert "\n\tdata_store (KeyValueStore):" in cls.__doc__
        assert cls._Attributes.__doc__ == "Attributes of KeyValueDataWrapper's elements."
        assert cls.__ior__.__doc__.splitlines()[-1] == '"Implements the |= operator functionality.'
        with pytest.raises(TypeError, match="No constructor defined!"):
            cls()


def test_vec3_values_are_copies_in_and_out(liver):
    keypoints = liver.keypoints2
    assert type(keypoints) is anatomy.KeyValueDataWrapperVec3
    source = np.array([1.0, 2.0, 3.0])
    keypoints["tip"] = source
    source[0] = 99
    value = keypoints["tip"]
    assert value.dtype == np.float64 and value.shape == (3,) and value.flags.writeable
    np.testing.assert_array_equal(value, [1, 2, 3])
    value[1] = -5
    np.testing.assert_array_equal(liver.keypoints2["tip"], [1, 2, 3])
    keypoints["base"] = [4, 5, 6]
    keypoints["column"] = np.array([[7.0], [8.0], [9.0]])
    np.testing.assert_array_equal(keypoints["column"], [7, 8, 9])
    assert keypoints.keys() == ["base", "column", "tip"]


@pytest.mark.parametrize("bad", [np.zeros((1, 3)), [1, 2, 3, 4], "abc"])
def test_vec3_shape_refused_by_item_assignment_and_from_dict(liver, bad):
    keypoints = liver.keypoints2
    keypoints["a"] = [1, 2, 3]
    with pytest.raises(TypeError):
        keypoints["b"] = bad
    with pytest.raises(ValueError, match=r"^Type mismatch in dictionary conversion: Unable to cast Python instance of type "):
        keypoints.from_dict({"b": bad})
    assert keypoints.keys() == ["a"]


def test_nan_rules_differ_between_vec3_and_vec4(liver):
    keypoints, planes = liver.keypoints2, liver.planes
    keypoints["a"] = [1, 2, 3]
    keypoints["a"] = [NAN, 0, 0]
    keypoints["absent"] = [0, NAN, 0]
    assert "a" not in keypoints and "absent" not in keypoints
    keypoints["far"] = [math.inf, -math.inf, 0]
    assert np.isinf(keypoints["far"][0])

    planes["p"] = [0, 0, 1, 2]
    with corvaxis.log.capture() as records:
        planes["p"] = [NAN, 0, 1, 2]
        planes["q"] = [0, NAN, 1, 2]
    np.testing.assert_array_equal(planes["p"], [0, 0, 1, 2])
    assert planes.keys() == ["p"]
    assert [r[2] for r in records] == [INVALID_STORE_LOG, INVALID_STORE_LOG]
    assert {(r[0], r[1]) for r in records} == {(4, "AnatomyPlugin.KeyValueStore")}


def test_from_dict_update_and_ior(liver):
    keypoints = liver.keypoints2
    keypoints["a"] = [1, 1, 1]
    keypoints.update({"b": [2, 2, 2]})
    assert keypoints.keys() == ["a", "b"]
    keypoints.from_dict({"b": [3, 3, 3]})
    assert keypoints.keys() == ["b"]
    keypoints.from_dict({"c": [4, 4, 4]}, clear=False)
    assert keypoints.keys() == ["b", "c"]
    same = keypoints
    same |= {"d": (5, 5, 5)}
    assert same is keypoints and keypoints.keys() == ["b", "c", "d"]
    with pytest.raises(TypeError):
        keypoints.update([("e", [1, 2, 3])])


def test_from_dict_int_key_leaves_store_untouched_even_when_clearing(liver):
    keypoints = liver.keypoints2
    keypoints["a"] = [1, 2, 3]
    with pytest.raises(ValueError, match=r"^Type mismatch in dictionary conversion: Unable to cast Python instance of type <class 'int'>"):
        keypoints.from_dict({"b": [1, 2, 3], 7: [1, 2, 3]}, clear=True)
    assert keypoints.keys() == ["a"]


def test_mesh_from_dict_with_none_in_the_middle(liver):
    meshes = liver.meshes
    meshes["old"] = make_mesh()
    with pytest.raises(ValueError, match=r"^Cannot set a null shared_ptr to a KeyValueStore expecting unique_ptr$"):
        meshes.from_dict({"a": make_mesh(), "c": None, "b": make_mesh(1.0)})
    assert meshes.keys() == ["a", "b"]
    with pytest.raises(ValueError, match="^Cannot set a null shared_ptr"):
        meshes["x"] = None
    assert "x" not in meshes


def test_objects_are_copied_and_reassignment_stores_a_new_copy(liver):
    meshes = liver.meshes
    mesh = make_mesh()
    meshes["surface"] = mesh
    mesh.matrix = np.diag([2.0, 2.0, 2.0, 1.0])
    out = meshes["surface"]
    np.testing.assert_array_equal(out.matrix, np.eye(4))
    assert out is not meshes["surface"]
    out.matrix = np.diag([3.0, 3.0, 3.0, 1.0])
    np.testing.assert_array_equal(meshes["surface"].matrix, np.eye(4))
    meshes["surface"] = out
    np.testing.assert_array_equal(meshes["surface"].matrix, out.matrix)
    assert [m.num_vertices for m in meshes.values()] == [3]
    assert list(meshes.asdict()) == ["surface"]


def test_every_object_kind_round_trips(liver):
    cloud = corvaxis.PointCloud(np.random.default_rng(1).random((5, 3)))
    graph = corvaxis.Graph(np.zeros((3, 3)), np.array([[0, 1], [1, 2]]), directed=True)
    images = corvaxis.SharedImageSet(np.arange(24, dtype=np.uint16).reshape(2, 3, 4), modality=corvaxis.Modality.LABEL)
    liver.pointclouds = {"cloud": cloud}
    liver.graphs = {"tree": graph}
    liver.images = {"labels": images}
    np.testing.assert_array_equal(liver.pointclouds["cloud"].points, cloud.points)
    assert liver.graphs["tree"].directed and liver.graphs["tree"].num_edges == 2
    stored = liver.images["labels"]
    assert stored is not images and stored.modality == corvaxis.Modality.LABEL
    np.testing.assert_array_equal(stored.get(0), images.get(0))


def test_empty_image_set_clones_to_nothing_and_removes_the_key(liver):
    liver.images["scan"] = corvaxis.SharedImageSet(np.zeros((2, 2), dtype=np.float32))
    liver.images["scan"] = corvaxis.SharedImageSet([])
    assert "scan" not in liver.images


def test_missing_keys_and_repr(liver):
    keypoints = liver.keypoints2
    assert repr(keypoints) == "<KeyValueDataWrapper for keypoints, Keys: [] >"
    with pytest.raises(KeyError) as empty:
        keypoints["missing"]
    assert empty.value.args[0] == "Key 'missing' not found. Available keys: "
    keypoints.update({"a": [0, 0, 0], "b": [1, 1, 1]})
    with pytest.raises(KeyError) as error:
        del keypoints["missing"]
    assert error.value.args[0] == "Key 'missing' not found. Available keys: a, b"
    assert repr(keypoints) == "<KeyValueDataWrapper for keypoints, Keys: ['a','b'] >"
    assert repr(liver.meshes) == "<KeyValueDataWrapper for meshes, Keys: [] >"
    del keypoints["a"]
    assert keypoints.keys() == ["b"] and len(keypoints) == 1 and bool(keypoints)
    with pytest.raises(TypeError):
        keypoints[3]


def test_keys_sort_bytewise_and_bytes_keys_are_text(liver):
    keypoints = liver.keypoints2
    keypoints.update({"b": [0, 0, 0], "A": [0, 0, 0], "a": [0, 0, 0], "ab": [0, 0, 0]})
    keypoints[b"Z"] = [1, 1, 1]
    assert keypoints.keys() == ["A", "Z", "a", "ab", "b"]


def test_iteration_is_over_a_snapshot(liver):
    keypoints = liver.keypoints2
    keypoints.update({"a": [0, 0, 0], "b": [1, 1, 1]})
    seen = []
    for key in keypoints:
        seen.append(key)
        keypoints["c" + key] = [2, 2, 2]
    assert seen == ["a", "b"]
    assert list(keypoints) == keypoints.keys()


def test_attributes_copy_and_absent_key_leaves_no_entry(liver):
    planes = liver.planes
    planes["p"] = [0, 0, 1, 0]
    attributes = planes.attributes["p"]
    assert isinstance(attributes, corvaxis.Properties) and len(attributes) == 0
    with pytest.raises(KeyError):
        planes.attributes["missing"]
    assert planes.keys() == ["p"]


def test_every_wrapper_reports_immutable_values_and_a_new_object_per_access(liver):
    for name in ["keypoints2", "planes", "images", "meshes", "pointclouds", "graphs"]:
        assert getattr(liver, name).mutable_return_values is False
    first, second = liver.planes, liver.planes
    assert first is not second
    first["x"] = [1, 0, 0, 0]
    assert "x" in second


def test_in_place_or_on_a_property_and_assigning_one_store_to_another(liver):
    liver.meshes |= {"a": make_mesh()}
    assert liver.meshes.keys() == ["a"]
    kidney = anatomy.GenericAnatomicalStructure("kidney")
    kidney.meshes = liver.meshes
    kidney.meshes["b"] = make_mesh()
    assert kidney.meshes.keys() == ["a", "b"] and liver.meshes.keys() == ["a"]
    with pytest.raises(TypeError):
        kidney.meshes = liver.planes


def test_a_value_that_empties_the_dict_while_converting_is_safe(liver):
    items = {}

    class Emptying:
        def __array__(self, dtype=None, copy=None):
            items.clear()
            return np.array([1.0, 2.0, 3.0])

    items.update({"kidney-" + "x" * 50: Emptying(), "liver": Emptying()})
    liver.keypoints2.from_dict(items)
    assert liver.keypoints2.keys() == ["kidney-" + "x" * 50, "liver"]
