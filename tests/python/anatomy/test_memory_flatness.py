"""Create/add/get/pop/delete cycles of a collection with every store kind leave the process's
resident memory flat: what one cycle makes, the next does not find still allocated."""

import gc
import os

import pytest

import corvaxis
import corvaxis.anatomy as anatomy

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def one_cycle(index, values):
    collection = anatomy.GenericASC()
    structure = anatomy.GenericAnatomicalStructure(f"structure {index % 5}")
    for store, value in values.items():
        getattr(structure, store)["entry"] = value
    collection.add(structure)
    handle = collection.anatomical_structure(0)
    for store in values:
        wrapper = getattr(handle, store)
        assert len(wrapper) == 1
        wrapper["entry"]
        wrapper.asdict()
        wrapper.attributes["entry"]
    handle.meshes["entry"].components.add(corvaxis.LabelDataComponent())
    options = collection.components.add(anatomy.ASCDisplayOptions())
    options.get_or_append_style_sheet("sheet", "mesh").enabled = False
    popped = collection.pop(0)
    clone = collection.clone()
    del popped, wrapper
    assert not handle.valid
    del collection, structure, handle, clone, options


@pytest.mark.unsanitized(reason="AddressSanitizer holds freed memory in quarantine, which grows resident memory")
def test_cycles_leave_resident_memory_flat(store_values, long_checks):
    cycles, settled_after = (100_000, 10_000) if long_checks else (20_000, 2_000)
    values = store_values(3)
    for index in range(settled_after):
        one_cycle(index, values)
    gc.collect()
    settled = resident_bytes()
    for index in range(settled_after, cycles):
        one_cycle(index, values)
    gc.collect()
    growth = resident_bytes() - settled
    print(f"resident memory grew by {growth} bytes between cycle {settled_after} and cycle {cycles}")
    assert growth < 1 << 20
