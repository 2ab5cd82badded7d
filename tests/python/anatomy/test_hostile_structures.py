"""Structures used as a careless or hostile caller would: conversions that change their own dict,
bytes that are not UTF-8 where text belongs, numbers that are not numbers, and files holding either."""

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

# (store, a good value): the stores of vectors, whose values go through the checked conversion.
VECTOR_STORES = [("keypoints2", [1.0, 2.0, 3.0]), ("planes", [0.0, 0.0, 1.0, -5.0])]


def structure():
    return anatomy.GenericAnatomicalStructure("liver")


@pytest.mark.parametrize("store, good", VECTOR_STORES)
@pytest.mark.parametrize("assign", ["from_dict", "update", "property"])
def test_dicts_changed_while_converting_assign_the_items_given(array_that_runs, store, good, assign):
    liver = structure()
    values = {}

    def refill():
        values.clear()
        values["intruder"] = good

    values.update(first=array_that_runs(good, refill), second=good)
    if assign == "property":
        setattr(liver, store, values)
    else:
        getattr(getattr(liver, store), assign)(values)
    assert sorted(getattr(liver, store).keys()) == ["first", "second"]


def test_deprecated_keypoints_setter_takes_the_items_given(array_that_runs):
    liver = structure()
    values = {}
    values.update(first=array_that_runs([1.0, 2.0, 3.0], values.clear), second=[4.0, 5.0, 6.0])
    with pytest.warns(UserWarning):
        liver.keypoints = values
    assert sorted(liver.keypoints2.keys()) == ["first", "second"]


def collection():
    asc = anatomy.GenericASC()
    asc.add(structure())
    return asc


TEXT_BOUNDARIES = {
    "wrapper item": lambda text: structure().keypoints2.__setitem__(text, [1.0, 2.0, 3.0]),
    "wrapper lookup": lambda text: structure().planes[text],
    "wrapper membership": lambda text: text in structure().meshes,
    "wrapper from_dict key": lambda text: structure().keypoints2.from_dict({text: [1.0, 2.0, 3.0]}),
    "set_keypoint": lambda text: structure().set_keypoint(text, [1.0, 2.0, 3.0]),
    "identifier": lambda text: setattr(structure(), "identifier", text),
    "constructor": lambda text: anatomy.GenericAnatomicalStructure(text),
    "collection lookup": lambda text: collection().anatomical_structure(text),
    "collection pop": lambda text: collection().pop(text),
}


@pytest.mark.parametrize("boundary", TEXT_BOUNDARIES.values(), ids=TEXT_BOUNDARIES.keys())
@pytest.mark.parametrize("text", [b"\xff\xfe", b"\xc0\xaf", "\udcff"])
def test_text_boundaries_refuse_invalid_utf8_and_unencodable_text(boundary, text):
    with pytest.raises((TypeError, ValueError)):
        boundary(text)


@pytest.mark.parametrize("lookup", [
    lambda key: structure().keypoints2[key],
    lambda key: structure().planes.attributes[key],
    lambda key: collection().anatomical_structure(key),
])
def test_missing_keys_with_nul_are_named_whole(lookup):
    with pytest.raises(KeyError) as error:
        lookup("a\0b")
    assert "a\0b" in error.value.args[0]


NOT_NUMBERS = {
    "complex": lambda size: np.arange(size) + 1j,
    "numeric strings": lambda size: [str(i) for i in range(size)],
    "bytes": lambda size: [str(i).encode() for i in range(size)],
    "datetime64": lambda size: np.arange(size).astype("datetime64[s]"),
    "bool": lambda size: np.ones(size, dtype=bool),
    "masked": lambda size: np.ma.masked_array(np.arange(size, dtype=float), mask=[True] + [False] * (size - 1)),
}


@pytest.mark.parametrize("store, good", VECTOR_STORES)
@pytest.mark.parametrize("make", NOT_NUMBERS.values(), ids=NOT_NUMBERS.keys())
def test_vectors_refuse_what_is_not_plain_numbers(store, good, make):
    liver = structure()
    wrapper = getattr(liver, store)
    value = make(len(good))
    with pytest.raises(TypeError):
        wrapper["x"] = value
    with pytest.raises(ValueError, match="Type mismatch"):
        wrapper.from_dict({"x": value})
    matrix = make(16)
    with pytest.raises(TypeError):
        liver.matrix_to_world = matrix.reshape(4, 4) if hasattr(matrix, "reshape") else np.reshape(matrix, (4, 4))
    assert "x" not in wrapper
    wrapper["x"] = np.array(good)  # the fast path for plain float64 arrays still works
    np.testing.assert_array_equal(wrapper["x"], good)


def test_collection_files_with_keys_that_are_not_text_are_refused(tmp_path, reseal):
    asc = collection()
    asc.anatomical_structure("liver").keypoints2["tip"] = [1.0, 2.0, 3.0]
    path = tmp_path / "keys.cvx"
    corvaxis.save(asc, path)

    def break_key(stored):
        found = []
        stored.visititems(lambda name, item: found.append(item) if item.attrs.get("key") == b"tip" else None)
        found[0].attrs["key"] = np.bytes_(b"\xfftip")

    reseal(path, break_key)
    with pytest.raises(corvaxis.FileFormatError, match="not UTF-8"):
        corvaxis.open(path)
