"""Collections in data files: corvaxis.open gives back a GenericASC with every structure, store value
and matrix; it imports corvaxis.anatomy on its own; damaged collection files name the file."""

import subprocess
import sys

import h5py
import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy


def collection():
    asc = anatomy.GenericASC()
    asc.name = "patient 7"
    asc.matrix = np.diag([2.0, 2.0, 2.0, 1.0])
    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.keypoints2 = {"tip": [10.0, 42.0, -7.5], "hilum": [4.0, 30.0, -2.0]}
    liver.planes["cut"] = [0.0, 0.0, 1.0, -5.0]
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    surface = corvaxis.Mesh(vertices, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))
    surface.matrix = np.array([[1, 0, 0, 5], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], dtype=float)
    liver.meshes["surface"] = surface
    liver.pointclouds["samples"] = corvaxis.PointCloud(np.random.default_rng(7).normal(size=(20, 3)))
    vessels = corvaxis.Graph(vertices, np.array([[0, 1], [1, 2]]), directed=True)
    vessels.set_edge_feature("radius", [1.0, 0.5])
    liver.graphs["vessels"] = vessels
    labels = np.zeros((4, 8, 8), dtype=np.uint8)
    labels[1:3, 2:6, 2:6] = 1
    liver.images["label"] = corvaxis.SharedImageSet(labels, spacing=(0.5, 0.5, 2.0), modality=corvaxis.Modality.LABEL)
    liver.matrix_to_world = np.array([[0, -1, 0, 100], [1, 0, 0, -20], [0, 0, 1, 5], [0, 0, 0, 1]], dtype=float)
    asc.add(liver)
    asc.add(anatomy.GenericAnatomicalStructure("kidney"))
    return asc


def stores(structure):
    """Every store of a structure as plain values, objects by their arrays and matrices."""
    def arrays(data):
        if isinstance(data, corvaxis.Mesh):
            return [data.vertices, data.faces, data.matrix]
        if isinstance(data, corvaxis.PointCloud):
            return [data.points, data.matrix]
        if isinstance(data, corvaxis.Graph):
            return [data.nodes, data.edges, data.directed, data.edge_features["radius"], data.matrix]
        return [data.get(0), data.spacing, data.modality, data.matrix]

    result = {
        "keypoints": structure.keypoints2.asdict(),
        "planes": structure.planes.asdict(),
    }
    for name in ("images", "meshes", "pointclouds", "graphs"):
        result[name] = {key: arrays(value) for key, value in getattr(structure, name).asdict().items()}
    return result


def assert_equal_nested(expected, actual):
    if isinstance(expected, dict):
        assert list(expected) == list(actual)
        for key in expected:
            assert_equal_nested(expected[key], actual[key])
    elif isinstance(expected, list):
        assert len(expected) == len(actual)
        for left, right in zip(expected, actual):
            assert_equal_nested(left, right)
    else:
        np.testing.assert_array_equal(expected, actual)


def test_a_collection_comes_back_with_every_store(tmp_path):
    asc = collection()
    path = tmp_path / "patient.cvx"
    corvaxis.save(asc, path)
    loaded = corvaxis.open(path)
    assert type(loaded) is anatomy.GenericASC
    assert repr(loaded) == "<GenericASC, AnatomicalStructures: [liver,kidney] >"
    assert loaded.name == "patient 7"
    np.testing.assert_array_equal(loaded.matrix, asc.matrix)
    for identifier in ("liver", "kidney"):
        saved, read = asc.anatomical_structure(identifier), loaded.anatomical_structure(identifier)
        assert read.is_2d is False
        np.testing.assert_array_equal(read.matrix_to_world, saved.matrix_to_world)
        assert_equal_nested(stores(saved), stores(read))
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
