import copy
import gc

import numpy as np
import pytest

from corvaxis import Properties


def test_values_keep_their_python_types():
    p = Properties({"flag": True, "count": 3, "ratio": 0.5, "label": "liver"})
    p["origin"] = (1, 2, 3)
    p["plane"] = np.array([[0.0], [0.0], [1.0], [2.0]])
    p["size"] = [4, 5]
    p["transform"] = np.eye(4)

    assert p["flag"] is True and p["count"] == 3 and isinstance(p["count"], int)
    assert isinstance(p["ratio"], float) and p["label"] == "liver"
    assert p["origin"].dtype == np.float64 and p["origin"].tolist() == [1, 2, 3]
    assert p["plane"].shape == (4,) and p["size"].shape == (2,)
    assert p["transform"].shape == (4, 4)
    assert list(p) == p.keys() == ["flag", "count", "ratio", "label", "origin", "plane", "size", "transform"]
    assert len(p) == 8 and "count" in p and "missing" not in p
    # NumPy scalars are numbers too, and their bool is not an int.
    p["np_int"], p["np_bool"], p["np_float"] = np.int64(7), np.bool_(False), np.float32(1.5)
    assert (p["np_int"], p["np_bool"], p["np_float"]) == (7, False, 1.5)
    assert p["np_bool"] is False


def test_vectors_are_copies_both_ways():
    source = np.array([1.0, 2.0, 3.0])
    p = Properties({"origin": source})
    source[0] = 99
    first = p["origin"]
    first[1] = 99
    assert p["origin"].tolist() == [1, 2, 3]


def test_rejected_values_name_the_key():
    p = Properties()
    with pytest.raises(ValueError) as error:
        p["v"] = [1, 2, 3, 4, 5]
    assert str(error.value) == "value of 'v' must have shape (2,), (3,), (4,) or (4, 4), got (5,)"
    with pytest.raises(TypeError) as error:
        p["v"] = None
    assert str(error.value) == (
        "value of 'v' must be a bool, int, float, str, vector of 2, 3 or 4 numbers or (4, 4) matrix, got NoneType")
    with pytest.raises(ValueError) as error:
        p["big"] = 2**31
    assert str(error.value) == "value of 'big' does not fit a 32-bit int, got 2147483648"
    with pytest.raises(TypeError) as error:
        Properties({1: 2})
    assert str(error.value) == "Properties names must be str, got int"
    with pytest.raises(TypeError) as error:
        Properties([1])
    assert str(error.value) == "values must be a dict or Properties, got list"
    assert len(p) == 0


def test_mapping_access_and_removal():
    p = Properties({"a": 1})
    assert p.get("a") == 1 and p.get("b") is None and p.get("b", 5) == 5
    assert p.values() == [1] and p.items() == [("a", 1)]
    with pytest.raises(KeyError):
        p["b"]
    del p["a"]
    with pytest.raises(KeyError):
        del p["a"]
    assert len(p) == 0


def test_sub_properties_nest_in_order_and_keep_the_tree_alive():
    p = Properties({"label": [{"value": 1}, {"value": 2}], "view": {"zoom": 2.0}})
    p.add_sub_properties("label", {"value": 3})
    empty = p.add_sub_properties("label")
    empty["value"] = 4
    assert [block["value"] for block in p.sub_properties("label")] == [1, 2, 3, 4]
    assert [block.name for block in p.sub_properties()] == ["label", "label", "view", "label", "label"]
    assert p.sub_properties("missing") == []

    view = p.sub_properties("view")[0]
    del p
    gc.collect()
    view["zoom"] = 3.0  # would touch freed memory if the parent were gone
    assert view.asdict() == {"zoom": 3.0}


def test_asdict_round_trips_and_copies_are_deep():
    p = Properties({"a": 1, "sub": [{"b": "x"}, {"b": "y", "deeper": {"c": False}}]})
    assert p.asdict() == {"a": 1, "sub": [{"b": "x"}, {"b": "y", "deeper": [{"c": False}]}]}
    assert Properties(p.asdict()) == p
    for duplicate in (Properties(p), copy.copy(p), copy.deepcopy(p)):
        duplicate.sub_properties("sub")[0]["b"] = "changed"
        assert p.sub_properties("sub")[0]["b"] == "x"
    assert Properties({"a": 2}) != p

    clash = Properties({"a": 1})
    clash.add_sub_properties("a")
    with pytest.raises(ValueError) as error:
        clash.asdict()
    assert str(error.value) == "'a' names both a value and sub-properties; a dict cannot hold both"


def test_attributes():
    p = Properties({"a": 1})
    p.set_param_attributes("a", {"unit": "mm"})
    p.attributes = {"kind": "view"}
    assert p.param_attributes("a") == {"unit": "mm"} and p.attributes == {"kind": "view"}
    with pytest.raises(KeyError):
        p.set_param_attributes("b", {})
    with pytest.raises(KeyError):
        p.param_attributes("b")


def test_repr():
    p = Properties({"a": 1, "s": {}})
    assert repr(p) == "<Properties, values=1, sub_properties=1>"
    assert repr(p.sub_properties("s")[0]) == "<Properties 's', values=0, sub_properties=0>"
