"""Data files through corvaxis.save and corvaxis.open: every kind comes back exactly, bad files raise
errors that name the file, and a standard HDF5 tool (h5py) opens what was saved."""

import os
import struct
import zlib

import h5py
import numpy as np
import pytest

import corvaxis

MATRIX = np.array([[0, -1, 0, 10.5], [1, 0, 0, -2], [0, 0, 1, 1e-9], [0, 0, 0, 1]], dtype=float)


def image_set():
    images = corvaxis.SharedImageSet(
        [np.arange(24, dtype=np.int16).reshape(2, 3, 4) - 7, np.full((2, 3, 4), -1, dtype=np.int16)],
        spacing=(0.5, 0.25, 2.0),
        modality=corvaxis.Modality.CT,
    )
    images.selected_index = 1
    labels = corvaxis.LabelDataComponent()
    labels.set_label_config(3, "liver", [1.0, 0.5, 0.0, 1.0], visible=False)
    images.components.add(labels)
    return images


def mesh():
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    surface = corvaxis.Mesh(vertices, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))
    surface.compute_normals()
    return surface


def point_cloud():
    points = np.random.default_rng(3).normal(size=(40, 3))
    return corvaxis.PointCloud(points, points / np.linalg.norm(points, axis=1, keepdims=True))


def graph():
    vessels = corvaxis.Graph(np.arange(12.0).reshape(4, 3), np.array([[0, 1], [1, 2], [1, 3]]), directed=True)
    vessels.set_node_feature("radius", [1.0, 0.75, 0.5, 0.5])
    vessels.set_edge_feature("flow/ml", np.arange(6.0).reshape(3, 2))
    return vessels


def content(data):
    """What a round trip must keep, per kind, beyond name and matrix."""
    if isinstance(data, corvaxis.SharedImageSet):
        labels = data.components[0]
        return [data.get(i) for i in range(len(data))], data.spacing, data.modality, data.selected_index, (
            labels.labels,
            labels.label_config(3),
        )
    if isinstance(data, corvaxis.Mesh):
        return data.vertices, data.faces, data.normals
    if isinstance(data, corvaxis.PointCloud):
        return data.points, data.normals
    return data.nodes, data.edges, data.directed, data.node_features, data.edge_features


def assert_same(expected, actual):
    if isinstance(expected, dict):
        assert expected.keys() == actual.keys()
        for key in expected:
            assert_same(expected[key], actual[key])
    elif isinstance(expected, (list, tuple)):
        assert len(expected) == len(actual)
        for left, right in zip(expected, actual):
            assert_same(left, right)
    elif isinstance(expected, np.ndarray):
        assert expected.dtype == actual.dtype and np.array_equal(expected, actual)
    else:
        assert expected == actual


@pytest.mark.parametrize("make", [image_set, mesh, point_cloud, graph])
@pytest.mark.parametrize("as_text", [True, False])
def test_every_kind_comes_back_exactly(make, as_text, tmp_path):
    data = make()
    data.name = "stored ü"
    data.matrix = MATRIX
    path = tmp_path / "data.cvx"
    corvaxis.save(data, str(path) if as_text else path)
    loaded = corvaxis.open(str(path) if as_text else path)
    assert type(loaded) is type(data)
    assert loaded.name == data.name and np.array_equal(loaded.matrix, MATRIX)
    assert [component.id for component in loaded.components] == [component.id for component in data.components]
    assert_same(content(data), content(loaded))


def header(path):
    magic, version, length, crc = struct.unpack_from("<8sIQI", path.read_bytes())
    return magic, version, length, crc


def test_the_header_and_a_standard_hdf5_reader_see_the_file(tmp_path):
    path = tmp_path / "mesh.cvx"
    corvaxis.save(mesh(), path)
    content_bytes = path.read_bytes()[512:]
    assert header(path) == (b"CORVAXIS", 1, len(content_bytes), zlib.crc32(content_bytes))
    with h5py.File(path, "r") as stored:
        assert stored.userblock_size == 512
        assert stored.attrs["format"].decode() == "corvaxis" and stored.attrs["format_version"] == 1
        assert stored.attrs["kind"].decode() == "Mesh"
        assert stored["vertices"].shape == (4, 3) and stored["faces"].dtype == np.int32
        np.testing.assert_array_equal(stored.attrs["matrix"], np.eye(4))


def refusal(path):
    with pytest.raises(corvaxis.FileFormatError) as error:
        corvaxis.open(path)
    assert isinstance(error.value, OSError)
    assert str(error.value).startswith(f"{path}: ") and error.value.filename == str(path)
    return str(error.value)[len(str(path)) + 2 :]


def reseal(path):
    """Makes the header match a content changed by another tool (h5py here)."""
    data = bytearray(path.read_bytes())
    struct.pack_into("<QI", data, 12, len(data) - 512, zlib.crc32(data[512:]))
    path.write_bytes(bytes(data))


def test_missing_damaged_and_foreign_files_raise_errors_naming_them(tmp_path):
    missing = tmp_path / "missing.cvx"
    with pytest.raises(FileNotFoundError) as error:
        corvaxis.open(missing)
    assert error.value.filename == str(missing) and str(missing) in str(error.value)
    with pytest.raises(IsADirectoryError):
        corvaxis.open(tmp_path)

    good = tmp_path / "good.cvx"
    corvaxis.save(point_cloud(), good)
    original = good.read_bytes()
    bad = tmp_path / "bad.cvx"
    cases = {
        b"": "the file is empty",
        original[:300]: "truncated: 300 bytes, less than the 512-byte header",
        original[:-1]: "truncated: the header announces",
        original[:8] + struct.pack("<I", 2) + original[12:]: "format version 2 is not supported",
        original[:-40] + bytes([original[-40] ^ 1]) + original[-39:]: "damaged: the content does not match its checksum",
        b"PK\x03\x04" + bytes(1000): "not a corvaxis data file",
    }
    for data, reason in cases.items():
        bad.write_bytes(data)
        assert refusal(bad).startswith(reason)

    with h5py.File(bad, "w") as foreign:
        foreign["points"] = np.zeros((3, 3))
    assert "an HDF5 file without the corvaxis header" in refusal(bad)

    bad.write_bytes(original)
    with h5py.File(bad, "r+") as stored:
        stored.attrs["kind"] = np.bytes_(b"Hologram")
    reseal(bad)
    assert refusal(bad) == "holds data of kind 'Hologram', which no loaded library reads"


def test_failed_saves_raise_and_leave_the_old_file(tmp_path):
    path = tmp_path / "kept.cvx"
    corvaxis.save(mesh(), path)
    before = path.read_bytes()
    unstorable = point_cloud()
    unstorable.name = "nul\0inside"
    with pytest.raises(ValueError, match="NUL character"):
        corvaxis.save(unstorable, path)
    with pytest.raises(FileNotFoundError):
        corvaxis.save(mesh(), tmp_path / "no" / "such" / "directory.cvx")
    (tmp_path / "occupied.cvx").mkdir()
    (tmp_path / "occupied.cvx" / "inside").mkdir()
    with pytest.raises(IsADirectoryError):
        corvaxis.save(mesh(), tmp_path / "occupied.cvx")
    with pytest.raises(TypeError):
        corvaxis.save("not data", path)
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["kept.cvx", "occupied.cvx"]
