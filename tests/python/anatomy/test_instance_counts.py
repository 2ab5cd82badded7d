"""The host's counts of live objects follow what Python holds: each kind goes up by what an object
brings with it (its copies in stores, its structures, its components) and back down when it goes."""

import gc

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis._core import _live_instances

TRIANGLE = ([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])


def styled_collection():
    collection = anatomy.GenericASC()
    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.meshes["surface"] = corvaxis.Mesh(*TRIANGLE)
    collection.add(liver)
    collection.components.add(anatomy.ASCDisplayOptions())
    return collection


def popped_from_a_dropped_collection():
    return styled_collection().pop("liver")


CASES = {
    "mesh": (lambda: corvaxis.Mesh(*TRIANGLE), {"data objects": 1}),
    "image set": (lambda: corvaxis.SharedImageSet(np.zeros((2, 2, 2), np.uint8)), {"data objects": 1}),
    "label component": (corvaxis.LabelDataComponent, {"components": 1}),
    "display options": (anatomy.ASCDisplayOptions, {"components": 1}),
    "structure": (lambda: anatomy.GenericAnatomicalStructure("liver"), {"structures": 1}),
    "empty collection": (anatomy.GenericASC, {"collections": 1, "data objects": 1}),
    # the collection, the stored copy of the mesh, the structure's clone, the display options
    "styled collection": (styled_collection, {"collections": 1, "data objects": 2, "structures": 1, "components": 1}),
    "clone": (lambda: styled_collection().clone(), {"collections": 1, "data objects": 2, "structures": 1, "components": 1}),
    "popped structure": (popped_from_a_dropped_collection, {"structures": 1, "data objects": 1}),
}


def changes(before):
    """{kind: change} of the kinds whose count is no longer what it was before."""
    gc.collect()
    return {kind: count - before.get(kind, 0) for kind, count in _live_instances().items() if count != before.get(kind, 0)}


@pytest.mark.parametrize("make, expected", CASES.values(), ids=CASES.keys())
def test_counts_follow_the_objects(make, expected):
    gc.collect()
    before = _live_instances()
    made = make()
    assert changes(before) == expected
    del made
    assert changes(before) == {}
