"""Structure handles: validity, deprecated keypoint access, matrices, identifiers."""

import gc
import math
import warnings

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

DEPRECATION = "This method is deprecated, use 'keypoints2' instead."


def make_collection():
    asc = anatomy.GenericASC()
    structure = anatomy.GenericAnatomicalStructure("liver")
    structure.keypoints2.update({"a": [1, 0, 0], "b": [0, 1, 0]})
    asc.add(structure)
    return asc


@pytest.fixture
def collection():
    return make_collection()


def test_class_surface():
    assert anatomy.AnatomicalStructure.__doc__ is None
    assert anatomy.GenericAnatomicalStructure.__doc__ == "Generic anatomical structure implementation."
    assert anatomy.GenericAnatomicalStructure.__bases__ == (anatomy.AnatomicalStructure,)
    with pytest.raises(TypeError, match=r"AnatomicalStructure: No constructor defined!$"):
        anatomy.AnatomicalStructure()
    assert anatomy.AnatomicalStructure.valid.__doc__ == (
        "Indicate whether the object is still valid, if invalid, member access raises an "
        "AnatomicalStructureInvalidException"
    )
    assert anatomy.AnatomicalStructure.planes.__doc__ == "Key value access to planes. Assignable from dict."
    with pytest.raises(TypeError):
        anatomy.GenericAnatomicalStructure("liver").set_keypoint(key="a", value=[1, 2, 3])


def test_handle_outliving_its_collection_raises_and_never_crashes():
    collection = make_collection()
    handle = collection.anatomical_structure(0)
    planes = handle.planes
    attributes = handle.keypoints2.attributes
    del collection
    gc.collect()
    assert handle.valid is False and planes.valid is False
    with pytest.raises(anatomy.AnatomicalStructureInvalidException, match="^AnatomicalStructure 'liver' no longer exists$"):
        handle.identifier
    for use in (lambda: handle.keypoints2, lambda: handle.matrix_to_world, lambda: handle.is_2d,
                lambda: handle.set_keypoint("c", [0, 0, 0])):
        with pytest.raises(anatomy.AnatomicalStructureInvalidException):
            use()
    message = "^AnatomicalStructure holding planes key value store is no longer valid$"
    with pytest.raises(anatomy.AnatomicalStructureInvalidException, match=message):
        len(planes)
    with pytest.raises(anatomy.AnatomicalStructureInvalidException, match=message):
        repr(planes)
    assert planes.mutable_return_values is False
    with pytest.raises(anatomy.AnatomicalStructureInvalidException, match="keypoints key value store"):
        attributes["a"]
    with pytest.warns(UserWarning, match=DEPRECATION), pytest.raises(anatomy.AnatomicalStructureInvalidException):
        handle.keypoints


def test_deprecated_keypoints_dict_is_an_independent_copy(collection):
    liver = collection.anatomical_structure("liver")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        points = liver.keypoints
    assert [str(w.message) for w in caught] == [DEPRECATION]
    assert list(points) == ["a", "b"]
    assert points["a"].flags.writeable
    points["a"][0] = 42
    np.testing.assert_array_equal(liver.keypoints2["a"], [1, 0, 0])


def test_keypoints_setter_replaces_and_removes_after_assigning(collection):
    liver = collection.anatomical_structure(0)
    with pytest.warns(UserWarning, match=DEPRECATION):
        liver.keypoints = {"a": (0, 0, 1)}
    assert liver.keypoints2.keys() == ["a"]
    np.testing.assert_array_equal(liver.keypoints2["a"], [0, 0, 1])
    with pytest.warns(UserWarning), pytest.raises(RuntimeError):
        liver.keypoints = {"c": [1, 1, 1], "d": "not a point"}
    assert liver.keypoints2.keys() == ["a", "c"]


def test_get_set_remove_keypoint(collection):
    liver = collection.anatomical_structure(0)
    with pytest.warns(UserWarning, match=DEPRECATION):
        with pytest.raises(KeyError) as error:
            liver.get_keypoint("missing")
    assert error.value.args[0] == "Keypoint 'missing' not found"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        liver.set_keypoint("a", [5, 5, 5])
    with pytest.warns(UserWarning):
        point = liver.get_keypoint("a")
    np.testing.assert_array_equal(point, [5, 5, 5])
    with pytest.raises(ValueError, match="read-only"):
        point[0] = 1
    with corvaxis.log.capture() as records:
        liver.set_keypoint("a", [math.nan, 0, 0])
        liver.set_keypoint("new", [math.nan, 0, 0])
    assert [r[2] for r in records] == ["Attempted to insert invalid entry (nullptr/NaN) into KeyValueStore!"] * 2
    assert liver.keypoints2.keys() == ["a", "b"]
    with pytest.warns(UserWarning):
        liver.remove_keypoint("b")
    with pytest.warns(UserWarning), pytest.raises(KeyError, match="Keypoint 'b' not found"):
        liver.remove_keypoint("b")


def test_warnings_as_errors_stop_deprecated_operations_before_any_change(collection):
    liver = collection.anatomical_structure(0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=DEPRECATION):
            liver.remove_keypoint("a")
        with pytest.raises(UserWarning):
            liver.keypoints = {}
    assert liver.keypoints2.keys() == ["a", "b"]


def test_matrices_are_inverse_read_only_copies(collection):
    liver = collection.anatomical_structure(0)
    m = np.array([[0, -1, 0, 10], [1, 0, 0, -3], [0, 0, 2, 1], [0, 0, 0, 1]], dtype=float)
    liver.matrix_from_world = m
    np.testing.assert_allclose(liver.matrix_to_world, np.linalg.inv(m))
    np.testing.assert_allclose(liver.matrix_from_world, m)
    for matrix in (liver.matrix_to_world, liver.matrix_from_world):
        assert not matrix.flags.writeable
        with pytest.raises(ValueError, match="read-only"):
            matrix[0, 0] = 5
    liver.matrix_to_world = np.eye(4).tolist()
    np.testing.assert_array_equal(liver.matrix_from_world, np.eye(4))
    with pytest.raises(TypeError):
        liver.matrix_to_world = np.eye(3)
    liver.matrix_to_world = np.zeros((4, 4))
    assert not np.isfinite(liver.matrix_from_world).all()


def test_keypoint_local_values_follow_the_frame(collection):
    liver = collection.anatomical_structure(0)
    assert liver.is_2d is False
    liver.matrix_to_world = np.diag([2.0, 2.0, 2.0, 1.0])
    np.testing.assert_array_equal(liver.keypoints2["a"], [1, 0, 0])


def test_generic_identifier_is_settable_but_a_collection_handle_is_not(collection):
    structure = anatomy.GenericAnatomicalStructure("liver")
    assert structure.identifier == "liver" and structure.valid
    structure.identifier = "spleen"
    assert structure.identifier == "spleen"
    assert anatomy.GenericAnatomicalStructure().identifier == ""
    handle = collection.anatomical_structure(0)
    assert type(handle) is anatomy.AnatomicalStructure
    with pytest.raises(AttributeError):
        handle.identifier = "x"


def test_owning_handle_keeps_its_structure_for_its_wrappers():
    keypoints = anatomy.GenericAnatomicalStructure("tmp").keypoints2
    keypoints["a"] = [1, 2, 3]
    assert keypoints.valid and keypoints.keys() == ["a"]


def test_structure_destroyed_while_converting_a_dict_is_refused_not_reached():
    holder = {"asc": make_collection()}
    handle = holder["asc"].anatomical_structure(0)
    keypoints = handle.keypoints2

    class DestroyingPoint:
        """A point whose conversion drops the last reference to the collection."""

        def __len__(self):
            return 3

        def __getitem__(self, index):
            holder.pop("asc", None)
            gc.collect()
            if index >= 3:
                raise IndexError(index)
            return 1.0

    with pytest.raises(anatomy.AnatomicalStructureInvalidException):
        keypoints.from_dict({"a": DestroyingPoint()})
    holder["asc"] = make_collection()
    handle = holder["asc"].anatomical_structure(0)
    with pytest.warns(UserWarning), pytest.raises(anatomy.AnatomicalStructureInvalidException):
        handle.keypoints = {"a": DestroyingPoint()}
