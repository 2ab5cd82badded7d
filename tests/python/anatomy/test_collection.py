"""Collections of structures: counting, lookup, add, pop, clone, repr and handle lifetimes."""

import gc

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy


def generic(identifier, **keypoints):
    structure = anatomy.GenericAnatomicalStructure(identifier)
    structure.keypoints2.update(keypoints)
    return structure


def make_asc():
    collection = anatomy.GenericASC()
    collection.add(generic("liver", tip=[1, 2, 3]))
    collection.add(generic("kidney"))
    return collection


@pytest.fixture
def asc():
    return make_asc()


def test_class_surface():
    assert anatomy.GenericASC.__bases__ == (anatomy.AnatomicalStructureCollection, corvaxis.Data)
    assert issubclass(anatomy.AnatomicalStructureCollection, corvaxis.Data)
    with pytest.raises(TypeError, match="No constructor defined!$"):
        anatomy.AnatomicalStructureCollection()
    assert anatomy.GenericASC.__doc__ == "GenericASC holds the data associated with a generic anatomical structure collection."
    assert anatomy.AnatomicalStructureCollection.__len__.__doc__.rstrip().endswith(
        "Same as :meth:`num_anatomical_structures`; enables ``len(asc)``."
    )


def test_count_identifiers_and_repr(asc):
    empty = anatomy.GenericASC()
    assert len(empty) == empty.num_anatomical_structures() == 0
    assert repr(empty) == "<GenericASC, AnatomicalStructures: [] >"
    assert len(asc) == asc.num_anatomical_structures() == 2
    assert asc.anatomical_structure_identifiers() == ["liver", "kidney"]
    assert repr(asc) == "<GenericASC, AnatomicalStructures: [liver,kidney] >"
    assert anatomy.AnatomicalStructureCollection.__repr__(asc) == (
        "<AnatomicalStructureCollection, AnatomicalStructures: [liver,kidney] >"
    )


def test_lookup_errors_and_handles(asc):
    by_index, by_name = asc.anatomical_structure(0), asc.anatomical_structure("liver")
    assert by_index is not by_name and by_index.identifier == by_name.identifier == "liver"
    for index in (-1, 2, 5):
        with pytest.raises(IndexError) as error:
            asc.anatomical_structure(index)
        assert error.value.args[0] == f"Index out of range: {index} not in [0, 2)"
    with pytest.raises(KeyError) as error:
        asc.anatomical_structure("heart")
    assert error.value.args[0] == "Anatomical structure with identifier 'heart' not found"
    with pytest.raises(TypeError):
        asc.anatomical_structure(1.5)


def test_add_is_a_clone_and_refusals(asc):
    structure = generic("spleen", a=[0, 0, 0])
    asc.add(structure)
    structure.keypoints2["a"] = [9, 9, 9]
    structure.identifier = "renamed"
    assert asc.anatomical_structure_identifiers()[-1] == "spleen"
    np.testing.assert_array_equal(asc.anatomical_structure("spleen").keypoints2["a"], [0, 0, 0])
    with pytest.raises(ValueError, match="^Invalid anatomical structure$"):
        asc.add(None)
    other = anatomy.GenericASC()
    other.add(generic("gone"))
    stale = other.anatomical_structure(0)
    del other
    gc.collect()
    with pytest.raises(ValueError, match="^Invalid anatomical structure$"):
        asc.add(stale)
    with pytest.raises(TypeError):
        asc.add("liver")


def test_pop_transfers_ownership():
    asc = make_asc()
    with pytest.raises(IndexError, match="^Index out of range$"):
        asc.pop(-1)
    with pytest.raises(KeyError) as error:
        asc.pop("heart")
    assert error.value.args[0] == "Anatomical structure with identifier 'heart' not found"
    liver = asc.pop(0)
    assert type(liver) is anatomy.AnatomicalStructure and liver.valid
    assert len(asc) == 1
    kidney = asc.pop("kidney")
    del asc
    gc.collect()
    assert liver.valid and kidney.valid
    np.testing.assert_array_equal(liver.keypoints2["tip"], [1, 2, 3])


def test_handles_to_a_popped_and_dropped_structure_turn_invalid(asc):
    handle = asc.anatomical_structure("kidney")
    asc.pop("kidney")
    gc.collect()
    assert handle.valid is False


def test_clone_is_independent_and_most_derived(asc):
    copy = anatomy.AnatomicalStructureCollection.clone(asc)
    assert type(copy) is anatomy.GenericASC and type(asc.clone()) is anatomy.GenericASC
    copy.anatomical_structure("liver").keypoints2["tip"] = [0, 0, 0]
    copy.pop("kidney")
    np.testing.assert_array_equal(asc.anatomical_structure("liver").keypoints2["tip"], [1, 2, 3])
    assert len(asc) == 2


def test_handles_do_not_keep_the_collection_alive():
    asc = make_asc()
    handles = [asc.anatomical_structure(i) for i in range(len(asc))]
    del asc
    gc.collect()
    assert [h.valid for h in handles] == [False, False]


def test_indices_beyond_any_machine_integer_are_out_of_range(asc):
    with pytest.raises(IndexError) as error:
        asc.anatomical_structure(2**70)
    assert error.value.args[0] == f"Index out of range: {2**70} not in [0, 2)"
    with pytest.raises(IndexError, match="^Index out of range$"):
        asc.pop(-(2**70))
    assert asc.anatomical_structure(True).identifier == "kidney"
