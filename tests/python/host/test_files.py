"""Data files through corvaxis.save and corvaxis.open: every kind comes back exactly, bad files raise
errors that name the file, and a standard HDF5 tool (h5py) opens what was saved."""

import os
import pathlib
import struct
import zlib

import h5py
import numpy as np
import pytest

import corvaxis
from corvaxis.segmentation import layer_labels

FUZZ_CORPUS = pathlib.Path(__file__).parents[2] / "fuzz" / "corpus"

MATRIX = np.array([[0, -1, 0, 10.5], [1, 0, 0, -2], [0, 0, 1, 1e-9], [0, 0, 0, 1]], dtype=float)
VERTICES = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)


def image_set():
    images = corvaxis.SharedImageSet(
        [np.arange(24, dtype=np.int16).reshape(2, 3, 4) - 7, np.full((2, 3, 4), -1, dtype=np.int16)],
        spacing=(0.5, 0.25, 2.0),
        modality=corvaxis.Modality.CT,
    )
    images.label_names = {0: "background", -7: "négatif"}
    images.label_colors = {-7: (0.0, 0.5, 1.0, 0.25)}
    images.selected_index = 1
    images.label_names = {3: "liver"}
    labels = corvaxis.LabelDataComponent()
    labels.set_label_config(3, "liver", [1.0, 0.5, 0.0, 1.0], visible=False)
    images.components.add(labels)
    return images


def mesh():
    surface = corvaxis.Mesh(VERTICES, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))
    surface.compute_normals()
    return surface


def graph():
    vessels = corvaxis.Graph(VERTICES, np.array([[0, 1], [1, 2], [1, 3]]), directed=True)
    vessels.set_edge_feature("flow/ml", np.arange(6.0).reshape(3, 2))
    return vessels


# What a round trip must keep of each kind, beyond name and matrix.
CONTENT = {
    corvaxis.SharedImageSet: lambda d: [*(d.get(i) for i in range(len(d))), d.spacing, d.modality, d.selected_index,
                                        d.components[0].label_config(3)[0],
                                        *(layer_labels(d, i) for i in range(len(d)))],
    corvaxis.Mesh: lambda d: [d.vertices, d.faces, d.normals],
    corvaxis.PointCloud: lambda d: [d.points, d.normals],
    corvaxis.Graph: lambda d: [d.nodes, d.edges, d.directed, d.edge_features["flow/ml"]],
}


@pytest.mark.parametrize("make", [image_set, mesh, lambda: corvaxis.PointCloud(VERTICES, VERTICES / 20), graph])
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
    for expected, actual in zip(CONTENT[type(data)](data), CONTENT[type(data)](loaded), strict=True):
        assert np.asarray(expected).dtype == np.asarray(actual).dtype and np.array_equal(expected, actual)


def test_image_files_written_before_label_names_read_without_them():
    images = corvaxis.open(FUZZ_CORPUS / "fuzz_data_file" / "valid-images.cvx")
    assert images.components[0].label_config(3)[0] == "liver"
    assert (images.label_names, images.label_colors) == ({}, {})


def test_the_header_and_a_standard_hdf5_reader_see_the_file(tmp_path):
    path = tmp_path / "mesh.cvx"
    corvaxis.save(mesh(), path)
    content = path.read_bytes()[512:]
    assert struct.unpack_from("<8sIQI", path.read_bytes()) == (b"CORVAXIS", 1, len(content), zlib.crc32(content))
    with h5py.File(path, "r") as stored:
        assert stored.userblock_size == 512
        assert stored.attrs["format"].decode() == "corvaxis" and stored.attrs["format_version"] == 1
        assert stored.attrs["kind"].decode() == "Mesh"
        assert stored["vertices"].shape == (4, 3) and stored["faces"].dtype == np.int32


def refusal(path):
    with pytest.raises(corvaxis.FileFormatError) as error:
        corvaxis.open(path)
    assert isinstance(error.value, OSError) and error.value.filename == str(path)
    assert str(error.value).startswith(f"{path}: ")
    return str(error.value)[len(str(path)) + 2 :]


def test_missing_damaged_and_foreign_files_raise_errors_naming_them(tmp_path):
    missing = tmp_path / "missing.cvx"
    with pytest.raises(FileNotFoundError) as error:
        corvaxis.open(missing)
    assert error.value.filename == str(missing) and str(missing) in str(error.value)

    good = tmp_path / "good.cvx"
    corvaxis.save(mesh(), good)
    original = good.read_bytes()
    bad = tmp_path / "bad.cvx"
    for data, reason in [
        (original[:-1], "truncated: the header announces"),
        (original[:-40] + bytes([original[-40] ^ 1]) + original[-39:], "damaged: the content does not match"),
        (b"PK\x03\x04" + bytes(1000), "not a corvaxis data file"),
    ]:
        bad.write_bytes(data)
        assert refusal(bad).startswith(reason)
    with h5py.File(bad, "w") as foreign:
        foreign["points"] = np.zeros((3, 3))
    assert "an HDF5 file without the corvaxis header" in refusal(bad)

    # Changed with h5py and resealed by hand, as docs/file-format.md describes.
    bad.write_bytes(original)
    with h5py.File(bad, "r+") as stored:
        stored.attrs["kind"] = np.bytes_(b"Hologram")
    data = bytearray(bad.read_bytes())
    struct.pack_into("<QI", data, 12, len(data) - 512, zlib.crc32(data[512:]))
    bad.write_bytes(bytes(data))
    assert refusal(bad) == "holds data of kind 'Hologram', which no loaded library reads"

    # Forged object headers that stop the HDF5 library on an internal assertion: refused, and this
    # process goes on.
    forged = bytearray((FUZZ_CORPUS / "fuzz_data_file" / "regression-hdf5-object-header-assertion").read_bytes())
    struct.pack_into("<QI", forged, 12, len(forged) - 512, zlib.crc32(forged[512:]))
    bad.write_bytes(bytes(forged))
    assert refusal(bad) == "damaged content: its HDF5 structure stops the HDF5 library (SIGABRT in a trial read)"


def test_failed_saves_raise_and_leave_the_old_file(tmp_path):
    path = tmp_path / "kept.cvx"
    corvaxis.save(mesh(), path)
    before = path.read_bytes()
    unstorable = mesh()
    unstorable.name = "nul\0inside"
    with pytest.raises(ValueError, match="NUL character"):
        corvaxis.save(unstorable, path)
    (tmp_path / "occupied.cvx").mkdir()
    (tmp_path / "occupied.cvx" / "inside").mkdir()
    with pytest.raises(IsADirectoryError):
        corvaxis.save(mesh(), tmp_path / "occupied.cvx")
    with pytest.raises(TypeError):
        corvaxis.save("not data", path)
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["kept.cvx", "occupied.cvx"]


@pytest.mark.parametrize("name, refused", [
    ("model.vtk", True), ("surface.PLY", True), ("picture.png", True), ("table.csv", True), ("raw.h5", True),
    ("labels.nrrd", True), ("file.cvx.gz", True),
    ("model.cvx", False), ("model.data", False), ("model", False), ("archive.2024.cvx", False),
])
def test_save_refuses_names_of_other_formats(tmp_path, name, refused):
    if refused:
        with pytest.raises(ValueError, match=r"names another format; save writes corvaxis data files \(\.cvx\)"):
            corvaxis.save(mesh(), tmp_path / name)
        assert os.listdir(tmp_path) == []
    else:
        corvaxis.save(mesh(), tmp_path / name)
        np.testing.assert_array_equal(corvaxis.open(tmp_path / name).vertices, VERTICES)
