"""Collections in data files: corvaxis.open gives back a GenericASC with every structure, store value
and matrix; it imports corvaxis.anatomy on its own; damaged collection files name the file."""

import subprocess
import sys

import h5py
import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

SHIFT = np.array([[0, -1, 0, 100], [1, 0, 0, -20], [0, 0, 1, 5], [0, 0, 0, 1]], dtype=float)


def collection():
    asc = anatomy.GenericASC()
    asc.name = "patient 7"
    asc.matrix = np.diag([2.0, 2.0, 2.0, 1.0])
    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.keypoints2 = {"tip": [10.0, 42.0, -7.5], "hilum": [4.0, 30.0, -2.0]}
    liver.planes["cut"] = [0.0, 0.0, 1.0, -5.0]
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    surface = corvaxis.Mesh(vertices, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))
    surface.matrix = SHIFT
    liver.meshes["surface"] = surface
    liver.pointclouds["samples"] = corvaxis.PointCloud(np.random.default_rng(7).normal(size=(20, 3)))
    liver.graphs["vessels"] = corvaxis.Graph(vertices, np.array([[0, 1], [1, 2]]), directed=True)
    labels = np.zeros((4, 8, 8), dtype=np.uint8)
    labels[1:3, 2:6, 2:6] = 1
    liver.images["label"] = corvaxis.SharedImageSet(labels, spacing=(0.5, 0.5, 2.0), modality=corvaxis.Modality.LABEL)
    liver.matrix_to_world = SHIFT
    asc.add(liver)
    asc.add(anatomy.GenericAnatomicalStructure("kidney"))
    return asc


def contents(structure):
    """Every store of a structure as plain values; objects by their arrays and matrix."""
    arrays = {
        "images": lambda d: [d.get(0), d.spacing, d.modality],
        "meshes": lambda d: [d.vertices, d.faces],
        "pointclouds": lambda d: [d.points],
        "graphs": lambda d: [d.nodes, d.edges, d.directed],
    }
    result = [structure.identifier, structure.is_2d, structure.matrix_to_world]
    result += [(key, value) for key, value in structure.keypoints2.asdict().items()]
    result += [(key, value) for key, value in structure.planes.asdict().items()]
    for store, describe in arrays.items():
        for key, value in getattr(structure, store).asdict().items():
            result += [key, value.matrix, *describe(value)]
    return result


def test_a_collection_comes_back_with_every_store(tmp_path):
    asc = collection()
    path = tmp_path / "patient.cvx"
    corvaxis.save(asc, path)
    loaded = corvaxis.open(path)
    assert type(loaded) is anatomy.GenericASC
    assert repr(loaded) == "<GenericASC, AnatomicalStructures: [liver,kidney] >"
    assert loaded.name == "patient 7" and np.array_equal(loaded.matrix, asc.matrix)
    for index in range(2):
        expected, actual = contents(asc.anatomical_structure(index)), contents(loaded.anatomical_structure(index))
        assert len(expected) == len(actual)
        for left, right in zip(expected, actual):
            np.testing.assert_equal(left, right)
    # The loaded collection is a collection like any other.
    loaded.anatomical_structure("kidney").keypoints2["pole"] = [1, 2, 3]
    corvaxis.save(loaded, path)
    again = corvaxis.open(path)  # handles do not keep a collection alive, so it gets a name
    np.testing.assert_array_equal(again.anatomical_structure(1).keypoints2["pole"], [1, 2, 3])


def test_open_imports_the_anatomy_module_when_the_file_holds_a_collection(tmp_path):
    path = tmp_path / "patient.cvx"
    corvaxis.save(collection(), path)
    script = (
        "import sys, corvaxis\n"
        "assert 'corvaxis.anatomy' not in sys.modules\n"
        f"asc = corvaxis.open({str(path)!r})\n"
        "print(type(asc).__module__, type(asc).__name__, asc.anatomical_structure_identifiers())\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "corvaxis.anatomy GenericASC ['liver', 'kidney']"


def test_h5py_sees_the_collection_and_damage_is_reported_by_file(tmp_path):
    path = tmp_path / "patient.cvx"
    corvaxis.save(collection(), path)
    with h5py.File(path, "r") as stored:
        assert stored.attrs["kind"].decode() == "GenericASC"
        assert [stored[f"structures/{i}"].attrs["identifier"].decode() for i in range(2)] == ["liver", "kidney"]
        np.testing.assert_array_equal(stored["structures/0/keypoints/1"].attrs["value"], [10.0, 42.0, -7.5])

    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(corvaxis.FileFormatError) as error:
        corvaxis.open(path)
    assert str(error.value).startswith(f"{path}: truncated")


def test_a_collection_refuses_a_structure_of_the_other_dimensionality(tmp_path):
    # Scripts cannot make 2-D structures, but files can hold them: edit a saved file into a 2-D
    # collection with a standard HDF5 tool, then seal its header again.
    import struct
    import zlib

    asc = anatomy.GenericASC()
    asc.add(anatomy.GenericAnatomicalStructure("slice"))
    path = tmp_path / "slices.cvx"
    corvaxis.save(asc, path)
    with h5py.File(path, "r+") as f:
        f.attrs["is_2d"] = np.uint8(1)
        f["structures/0"].attrs["is_2d"] = np.uint8(1)
    data = bytearray(path.read_bytes())
    struct.pack_into("<QI", data, 12, len(data) - 512, zlib.crc32(data[512:]))
    path.write_bytes(data)

    slices = corvaxis.open(path)
    flat = slices.anatomical_structure("slice")
    assert flat.is_2d is True
    volume = anatomy.GenericASC()
    with pytest.raises(ValueError) as error:
        volume.add(flat)
    assert error.value.args[0] == "Anatomical structure 'slice' is not supported by this collection"
    assert len(volume) == 0
