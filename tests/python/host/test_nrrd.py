"""NRRD images and 3D Slicer segmentations through corvaxis.open: geometry, encodings, list axes,
segments, and the files that are refused."""

import os

import numpy as np
import pytest

import corvaxis

ROTATED = np.array([[0.0, 0.8, 0.0], [0.0, 0.0, -1.1], [2.5, 0.0, 0.0]])  # rows: the three axis directions
ORIGIN = (-90.5, 12.25, 40.0)


def affine(directions, origin, flip=(1.0, 1.0, 1.0)):
    """The voxel-to-world matrix of NRRD space directions (one per axis) and origin, rows flipped."""
    matrix = np.eye(4)
    matrix[:3, :3] = np.asarray(directions, dtype=float).T
    matrix[:3, 3] = origin
    return np.diag([*flip, 1.0]) @ matrix


@pytest.mark.parametrize(
    ("space", "flip"),
    [("left-posterior-superior", (-1, -1, 1)), ("LPS", (-1, -1, 1)), ("right-anterior-superior", (1, 1, 1)),
     ("left-anterior-superior", (-1, 1, 1)), ("scanner-xyz", (1, 1, 1)), ("3D-right-handed", (1, 1, 1))],
)
def test_space_directions_and_origin_give_the_world_exactly(tmp_path, write_nrrd, space, flip):
    pixels = np.arange(3 * 4 * 5, dtype=np.int16).reshape(3, 4, 5) - 20
    path = write_nrrd(tmp_path / "image.nrrd", pixels, space=space, directions=list(ROTATED), origin=ORIGIN)
    images = corvaxis.open(path)
    assert (len(images), images.modality) == (1, corvaxis.Modality.NA)
    np.testing.assert_array_equal(images.get(), pixels)
    np.testing.assert_array_equal(images.voxel_to_world, affine(ROTATED, ORIGIN, flip))


def test_without_a_space_the_spacings_give_the_world(tmp_path, write_nrrd):
    path = write_nrrd(tmp_path / "image.nrrd", np.zeros((2, 3, 4), np.uint8), space=None, spacings=(0.5, 2.0, 3.0))
    np.testing.assert_array_equal(corvaxis.open(path).voxel_to_world, np.diag([0.5, 2.0, 3.0, 1.0]))


DTYPES = [np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.float32, np.float64, np.int64, np.uint64]


@pytest.mark.parametrize("dtype", DTYPES, ids=[np.dtype(d).name for d in DTYPES])
@pytest.mark.parametrize(
    ("encoding", "byte_order", "detached"),
    [("raw", "<", False), ("raw", ">", False), ("gzip", "<", False), ("gzip", ">", False), ("ascii", "=", False),
     ("hex", "<", False), ("raw", "<", True), ("gzip", ">", True)],
    ids=["raw", "raw big-endian", "gzip", "gzip big-endian", "ascii", "hex", "detached raw", "detached gzip"],
)
def test_encodings_and_voxel_types_give_the_stored_values(tmp_path, write_nrrd, dtype, encoding, byte_order,
                                                           detached):
    values = (np.arange(2 * 3 * 4) * 7 % 100).reshape(2, 3, 4)
    pixels = values.astype(np.dtype(dtype).newbyteorder(byte_order))
    name = "image.nhdr" if detached else "image.NRRD"
    images = corvaxis.open(write_nrrd(tmp_path / name, pixels, encoding=encoding, detached=detached))
    read = images.get()
    np.testing.assert_array_equal(read, values)
    # 64-bit integers are held in 32 bits when they fit.
    expected = {8: np.dtype(dtype).kind + "4"}.get(np.dtype(dtype).itemsize if np.dtype(dtype).kind in "iu" else 0)
    assert read.dtype == np.dtype(expected or dtype)


def test_files_teem_writes_read_the_same(tmp_path, write_nrrd, unu):
    pixels = (np.arange(4 * 5 * 6) % 11).astype(np.int32).reshape(4, 5, 6)
    original = write_nrrd(tmp_path / "original.nrrd", pixels, directions=list(ROTATED), origin=ORIGIN)
    expected = corvaxis.open(original)
    for encoding, endian in (("gzip", "big"), ("hex", "little"), ("ascii", "little"), ("raw", "big")):
        again = tmp_path / f"{encoding}-{endian}.nrrd"
        unu("save", "-i", original, "-f", "nrrd", "-e", encoding, "-en", endian, "-o", again)
        images = corvaxis.open(again)
        np.testing.assert_array_equal(images.get(), pixels)
        np.testing.assert_array_equal(images.voxel_to_world, expected.voxel_to_world)


@pytest.mark.parametrize("list_axis", [0, 3])
def test_a_list_axis_gives_one_image_per_entry(tmp_path, write_nrrd, list_axis):
    volumes = [np.full((2, 3, 4), value, np.uint8) + np.arange(4, dtype=np.uint8) for value in (0, 10, 20)]
    # NRRD axis 0 is the last array axis: a first (fastest) list axis is stacked last.
    pixels = np.stack(volumes, axis=-1 if list_axis == 0 else 0)
    directions = [np.eye(3)[0], np.eye(3)[1], np.eye(3)[2]]
    directions.insert(list_axis, None)
    kinds = ["domain"] * 3
    kinds.insert(list_axis, "list")
    images = corvaxis.open(write_nrrd(tmp_path / "layers.nrrd", pixels, directions=directions, kinds=kinds,
                                      origin=ORIGIN))
    assert len(images) == 3
    for index, volume in enumerate(volumes):
        np.testing.assert_array_equal(images.get(index), volume)
    np.testing.assert_array_equal(images.voxel_to_world, affine(np.eye(3), ORIGIN, (-1, -1, 1)))


SEGMENTS = [
    {"name": "liver", "label": 1, "layer": 0, "color": (0.9, 0.5, 0.25)},
    {"name": "kidney", "label": 2, "layer": 0, "color": (0.25, 0.5, 1.0)},
    {"name": "tumour", "label": 1, "layer": 1, "color": (1.0, 0.0, 0.0)},
]


@pytest.mark.parametrize("layered", [False, True], ids=["3-D labels", "4-D layers"])
def test_slicer_segmentations_open_as_labels_with_named_coloured_segments(tmp_path, slicer_segmentation, layered):
    first = np.zeros((4, 5, 6), np.uint8)
    first[1:3, 1:3, 1:3] = 1
    first[1:3, 3:5, 3:5] = 2
    second = np.zeros_like(first)
    second[2, 2, 1:4] = 1  # overlaps the liver
    layers = [first, second] if layered else first
    segments = SEGMENTS if layered else SEGMENTS[:2]
    path = slicer_segmentation(tmp_path / "case.seg.nrrd", layers, segments, directions=list(ROTATED), origin=ORIGIN)
    images = corvaxis.open(path)
    assert images.modality == corvaxis.Modality.LABEL
    assert len(images) == (2 if layered else 1)
    np.testing.assert_array_equal(images.voxel_to_world, affine(ROTATED, ORIGIN, (-1, -1, 1)))
    for layer, pixels in enumerate([first, second][: len(images)]):
        images.selected_index = layer
        np.testing.assert_array_equal(images.get(), pixels)
        mine = [segment for segment in segments if segment["layer"] == layer]
        assert images.label_names == {segment["label"]: segment["name"] for segment in mine}
        assert images.label_colors == {segment["label"]: (*segment["color"], 1.0) for segment in mine}


def test_modality_can_be_chosen_and_slicer_names_without_segments_are_labels(tmp_path, write_nrrd):
    pixels = np.zeros((2, 2, 2), np.uint8)
    assert corvaxis.open(write_nrrd(tmp_path / "empty.seg.nrrd", pixels)).modality == corvaxis.Modality.LABEL
    chosen = corvaxis.open(write_nrrd(tmp_path / "plain.nrrd", pixels), modality=corvaxis.Modality.CT)
    assert chosen.modality == corvaxis.Modality.CT


def header_only(text):
    return lambda path: path.write_bytes(text.encode())


REFUSED = {
    "no magic": (header_only("P5\n2 2\n255\n"), "NRRD magic"),
    "header Teem refuses": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2\nencoding: raw\n\n"),
                            "Teem refuses the file"),
    "2-D array": (dict(pixels=np.zeros((3, 4), np.uint8), directions=[(1, 0, 0), (0, 1, 0)]), "2-D array"),
    "5-D array": (dict(pixels=np.zeros((2, 2, 2, 2, 2), np.uint8), space=None), "5-D array"),
    "two axes without direction": (dict(pixels=np.zeros((2, 2, 2, 2), np.uint8),
                                        directions=[None, None, (1, 0, 0), (0, 1, 0)]), "exactly three axes"),
    "4-D without list kind": (dict(pixels=np.zeros((2, 2, 2, 2), np.uint8), space=None), "kind list"),
    "3-D with an axis without direction": (dict(directions=[None, (1, 0, 0), (0, 1, 0)],
                                                kinds=["list", "domain", "domain"]), "no space direction"),
    "degenerate directions": (dict(directions=[(1, 0, 0), (0, 1, 0), (1, 1, 0)]), "degenerate"),
    "left-handed space": (dict(space="3D-left-handed"), "3D-left-handed"),
    "bzip2 encoding": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: bzip2\n\nBZh9"),
                       "bzip2 is not read"),
    "less data than announced": (header_only("NRRD0004\ntype: short\ndimension: 3\nsizes: 2000 2000 2000\n"
                                             "encoding: raw\nendian: little\n\n\x01\x02"), "less data"),
    "damaged gzip data": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: gzip\n\n"
                                      "\x1f\x9b\x08 not deflate"), "less data"),
    "skips before gzip data": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: gzip\n"
                                           "byte skip: 4\n\n"), "skips before gzip data"),
    "several data files": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: raw\n"
                                       "data file: LIST\na.raw\nb.raw\n"), "several data files"),
    "data files by number": (header_only("NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: raw\n"
                                         "data file: slice%03d.raw 1 2 1 2\n"), "several data files"),
    "label value not a number": (dict(keys={"Segment0_Name": "liver", "Segment0_LabelValue": "one"}),
                                 "Segment0_LabelValue"),
    "colour out of range": (dict(keys={"Segment0_Name": "liver", "Segment0_Color": "0.5 2 0"}), "Segment0_Color"),
    "layer beyond the layers": (dict(keys={"Segment0_Name": "liver", "Segment0_Layer": "3"}), "Segment0_Layer"),
}


@pytest.mark.parametrize(("make", "fragment"), REFUSED.values(), ids=REFUSED.keys())
def test_refused_files_raise_file_format_error_naming_the_file_and_the_reason(tmp_path, write_nrrd, make, fragment):
    path = tmp_path / "bad.nrrd"
    if callable(make):
        make(path)
    else:
        make = dict(make)
        write_nrrd(path, make.pop("pixels", np.zeros((2, 2, 2), np.uint8)), **make)
    with pytest.raises(corvaxis.FileFormatError) as raised:
        corvaxis.open(path)
    assert str(path) in str(raised.value) and fragment in str(raised.value)
    assert raised.value.filename == str(path)


@pytest.mark.parametrize("data_file", ["missing.raw", "folder", "/dev/zero", "fifo"])
def test_a_data_file_that_is_no_regular_file_is_refused_unread(tmp_path, data_file):
    (tmp_path / "folder").mkdir()
    os.mkfifo(tmp_path / "fifo")
    header = tmp_path / "image.nhdr"
    header.write_text(f"NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: raw\ndata file: {data_file}\n")
    with pytest.raises(FileNotFoundError if data_file == "missing.raw" else OSError) as raised:
        corvaxis.open(header)
    assert data_file.lstrip("/") in str(raised.value)
