"""NIfTI images through corvaxis.open and corvaxis.save, checked against nibabel."""

import gzip
import re
import struct

import numpy as np
import pytest

import corvaxis


def rotation(axis, angle):
    """The 3x3 rotation about an axis by an angle (radians)."""
    axis = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    cross = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + np.sin(angle) * cross + (1 - np.cos(angle)) * cross @ cross


def affine(linear, offset):
    matrix = np.eye(4)
    matrix[:3, :3] = linear
    matrix[:3, 3] = offset
    return matrix


ROTATED = affine(rotation([1, 2, 3], 0.6) @ np.diag([0.8, 1.1, 2.5]), [-90.5, 12.25, 40.0])
LEFT_HANDED = affine(np.diag([-1.25, 0.9, 3.0]), [100.0, -20.0, 5.5])
SHEARED = affine([[1.0, 0.2, 0.0], [0.0, 1.5, 0.1], [0.0, 0.0, 2.0]], [1.0, 2.0, 3.0])
ROTATED_LEFT_HANDED = affine(rotation([0, 1, 1], -0.4) @ np.diag([-0.7, 0.7, 1.2]), [3.0, 2.0, 1.0])


def world_of(images):
    """World positions of every voxel centre by the image set's mapping, indexed [k, j, i]."""
    depth, height, width = images.get().shape
    k, j, i = np.meshgrid(np.arange(depth), np.arange(height), np.arange(width), indexing="ij")
    index = np.stack([i, j, k, np.ones_like(i)], axis=-1).astype(float)
    return index @ images.voxel_to_world.T


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize(
    ("case", "sform", "qform"),
    [
        ("sform", ROTATED, None),
        ("sform left-handed", LEFT_HANDED, None),
        ("sform sheared", SHEARED, ROTATED),
        ("sform wins over qform", ROTATED, LEFT_HANDED),
        ("qform", None, ROTATED),
        ("qform left-handed", None, ROTATED_LEFT_HANDED),
    ],
)
def test_geometry_equals_nibabel_affine(write_nifti, nibabel, version, case, sform, qform):
    data = np.arange(5 * 4 * 3, dtype=np.int16).reshape(5, 4, 3)
    path = write_nifti(data, sform=sform, qform=qform, version=version)
    images = corvaxis.open(path)
    expected = nibabel.load(path).affine
    np.testing.assert_allclose(images.voxel_to_world, expected, rtol=0, atol=1e-12 * np.abs(expected).max())
    # The array is [k, j, i]: nibabel's [i, j, k] transposed.
    np.testing.assert_array_equal(images.get(), data.transpose(2, 1, 0))
    world = world_of(images)
    assert world[2, 1, 4] == pytest.approx(expected @ [4, 1, 2, 1], abs=1e-9)


def test_geometry_without_transforms_is_the_voxel_sizes(write_nifti):
    images = corvaxis.open(write_nifti(np.zeros((3, 3, 3), np.uint8)))
    np.testing.assert_array_equal(images.voxel_to_world, np.diag([1.5, 0.75, 2.0, 1.0]))
    np.testing.assert_array_equal(images.spacing, [1.5, 0.75, 2.0])


DTYPES = [np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.float32, np.float64]


@pytest.mark.parametrize("name", ["image.nii", "image.nii.gz", "IMAGE.NII.GZ"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("geometry", [ROTATED, LEFT_HANDED, SHEARED], ids=["rotated", "left", "sheared"])
def test_save_then_open_keeps_pixels_and_geometry(tmp_path, nibabel, name, dtype, geometry):
    pixels = (np.arange(4 * 5 * 6) % 120).astype(dtype).reshape(4, 5, 6)
    images = corvaxis.SharedImageSet(pixels)
    images.voxel_to_world = geometry
    path = tmp_path / name
    corvaxis.save(images, path)
    again = corvaxis.open(path)
    np.testing.assert_array_equal(again.get(), pixels)
    assert again.get().dtype == pixels.dtype
    # NIfTI-1 stores the mapping in single precision; nibabel reads the same values.
    stored = geometry.astype(np.float32).astype(np.float64)
    np.testing.assert_allclose(again.voxel_to_world, stored, rtol=1e-12, atol=1e-12)
    peer = nibabel.load(path)
    np.testing.assert_allclose(again.voxel_to_world, peer.affine, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(np.asarray(peer.dataobj), pixels.transpose(2, 1, 0))


def test_geometry_that_single_precision_holds_round_trips_exactly(tmp_path):
    geometry = affine(np.diag([0.5, -0.25, 2.0]), [1.0, -2.0, 3.5])
    images = corvaxis.SharedImageSet(np.zeros((2, 2, 2), np.uint8))
    images.voxel_to_world = geometry
    path = tmp_path / "image.nii"
    corvaxis.save(images, path)
    assert struct.unpack("<i", path.read_bytes()[:4])[0] == 348
    np.testing.assert_array_equal(corvaxis.open(path).voxel_to_world, geometry)


def test_four_dimensional_file_gives_one_image_per_volume(write_nifti, tmp_path):
    data = np.arange(3 * 4 * 5 * 2, dtype=np.float32).reshape(3, 4, 5, 2)
    images = corvaxis.open(write_nifti(data, sform=ROTATED))
    assert len(images) == 2
    for t in range(2):
        np.testing.assert_array_equal(images.get(t), data[..., t].transpose(2, 1, 0))
    corvaxis.save(images, tmp_path / "again.nii.gz")
    again = corvaxis.open(tmp_path / "again.nii.gz")
    assert len(again) == 2
    np.testing.assert_array_equal(again.get(1), images.get(1))


def test_label_intent_and_modality(write_nifti, tmp_path, nibabel):
    data = np.zeros((4, 4, 4), np.uint8)
    assert corvaxis.open(write_nifti(data, "plain.nii")).modality == corvaxis.Modality.NA
    assert corvaxis.open(write_nifti(data, "label.nii", intent="label")).modality == corvaxis.Modality.LABEL
    forced = corvaxis.open(tmp_path / "plain.nii", modality=corvaxis.Modality.LABEL)
    assert forced.modality == corvaxis.Modality.LABEL
    corvaxis.save(forced, tmp_path / "saved.nii")
    assert nibabel.load(tmp_path / "saved.nii").header.get_intent()[0] == "label"
    assert corvaxis.open(tmp_path / "saved.nii").modality == corvaxis.Modality.LABEL


def test_scaling_applies_to_images_but_not_to_labels(write_nifti):
    data = np.arange(8, dtype=np.int16).reshape(2, 2, 2)
    scaled = corvaxis.open(write_nifti(data, "scaled.nii", slope_inter=(2.0, -1.0)))
    np.testing.assert_array_equal(scaled.get(), data.transpose(2, 1, 0) * 2.0 - 1.0)
    assert scaled.get().dtype == np.float32
    labels = corvaxis.open(write_nifti(data, "labels.nii", intent="label", slope_inter=(2.0, -1.0)))
    np.testing.assert_array_equal(labels.get(), data.transpose(2, 1, 0))


def test_64_bit_labels_are_narrowed_when_they_fit(tmp_path, nibabel):
    data = np.array([[[0, 1], [2, 70000]]], dtype=np.int64)
    for name, values in [("fits.nii", data), ("too_large.nii", data * 2**40)]:
        nibabel.save(nibabel.Nifti1Image(values, np.eye(4), dtype=np.int64), tmp_path / name)
    np.testing.assert_array_equal(corvaxis.open(tmp_path / "fits.nii").get(), data.transpose(2, 1, 0))
    with pytest.raises(corvaxis.FileFormatError, match="32-bit"):
        corvaxis.open(tmp_path / "too_large.nii")


def damaged(original, change):
    data = bytearray(original)
    change(data)
    return bytes(data)


def set_int16(offset, value):
    return lambda data: data.__setitem__(slice(offset, offset + 2), struct.pack("<h", value))


BAD_FILES = {
    "empty": lambda data: data.clear(),
    "truncated header": lambda data: data.__delitem__(slice(200, None)),
    "wrong magic": lambda data: data.__setitem__(slice(344, 348), b"xyz\0"),
    "data shorter than announced": lambda data: data.__delitem__(slice(len(data) - 10, None)),
    "zero extent": set_int16(42, 0),
    "negative extent": set_int16(44, -5),
    "overflowing dimensions": lambda data: [set_int16(40, 7)(data)]
    + [set_int16(42 + 2 * axis, 32767)(data) for axis in range(7)],
    "unsupported voxel type": set_int16(70, 32),
    # 16 GB announced by a file of a few hundred bytes: refused before anything is allocated.
    "huge extents": lambda data: [set_int16(42 + 2 * axis, 2000)(data) for axis in range(3)],
}


@pytest.mark.parametrize("compressed", [False, True], ids=["nii", "nii.gz"])
@pytest.mark.parametrize("damage", BAD_FILES.values(), ids=BAD_FILES.keys())
def test_bad_files_raise_file_format_error_naming_the_file(write_nifti, tmp_path, compressed, damage):
    original = write_nifti(np.ones((4, 4, 4), np.int16)).read_bytes()
    content = damaged(original, damage)
    path = tmp_path / ("bad.nii.gz" if compressed else "bad.nii")
    path.write_bytes(gzip.compress(content) if compressed else content)
    with pytest.raises(corvaxis.FileFormatError) as raised:
        corvaxis.open(path)
    assert str(path) in str(raised.value)
    assert raised.value.filename == str(path)


NEARLY_PARALLEL_AXES = np.array([[1.0, 0, 0, 0], [0, 1, 1, 0], [0, 0, 1e-12, 0], [0, 0, 0, 1]])


@pytest.mark.parametrize("sform", [np.diag([1e-170, 1e170, 1.0, 1.0]), np.diag([1e200, 1e200, 1e-100, 1.0]),
                                   NEARLY_PARALLEL_AXES],
                         ids=["a voxel size that underflows", "a voxel size that overflows", "nearly parallel axes"])
def test_mappings_that_are_invertible_only_on_paper_are_refused(write_nifti, sform):
    path = write_nifti(np.ones((2, 2, 2), np.int16), name="extreme.nii", sform=sform, version=2)
    with pytest.raises(corvaxis.FileFormatError, match="degenerate or not finite"):
        corvaxis.open(path)


def test_missing_file_and_unsavable_sets(tmp_path):
    with pytest.raises(FileNotFoundError):
        corvaxis.open(tmp_path / "missing.nii")
    with pytest.raises(ValueError):
        corvaxis.save(corvaxis.SharedImageSet(), tmp_path / "empty.nii")
    with pytest.raises(TypeError):
        corvaxis.save(corvaxis.Mesh(np.zeros((0, 3)), np.zeros((0, 3), np.int32)), tmp_path / "mesh.nii")
    assert not list(tmp_path.iterdir())


def test_voxel_to_world_of_images_built_from_arrays():
    images = corvaxis.SharedImageSet(np.zeros((2, 3, 4), np.uint8), spacing=(0.5, 2.0, 3.0))
    np.testing.assert_array_equal(images.voxel_to_world, np.diag([0.5, 2.0, 3.0, 1.0]))
    images.voxel_to_world = ROTATED
    np.testing.assert_allclose(images.spacing, [0.8, 1.1, 2.5])
    images.matrix = affine(np.eye(3), [10.0, 0.0, 0.0])
    np.testing.assert_allclose(images.voxel_to_world[:3, 3], ROTATED[:3, 3] + [10.0, 0.0, 0.0])
    with pytest.raises(ValueError):
        images.voxel_to_world = np.zeros((4, 4))
    assert corvaxis.SharedImageSet().voxel_to_world is None


def header_size(path):
    """sizeof_hdr of a NIfTI file: 348 for NIfTI-1, 540 for NIfTI-2."""
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rb") as file:
        return struct.unpack("<i", file.read(4))[0]


@pytest.mark.parametrize("name", ["image.nii", "image.nii.gz"])
@pytest.mark.parametrize(
    ("shape", "nifti_version", "header", "exact_geometry"),
    [
        ((4, 5, 6), None, 348, False),
        ((4, 5, 6), 1, 348, False),
        ((4, 5, 6), 2, 540, True),
        # Extents beyond NIfTI-1's 16-bit fields need NIfTI-2.
        ((2, 1, 33000), None, 540, True),
        ((2, 1, 33000), 2, 540, True),
    ],
)
def test_nifti_version_chooses_the_header(tmp_path, nibabel, name, shape, nifti_version, header, exact_geometry):
    pixels = (np.arange(np.prod(shape)) % 7).astype(np.int16).reshape(shape)
    images = corvaxis.SharedImageSet(pixels, modality=corvaxis.Modality.LABEL)
    images.voxel_to_world = ROTATED_LEFT_HANDED
    path = tmp_path / name
    corvaxis.save(images, path, nifti_version=nifti_version)
    assert header_size(path) == header
    again = corvaxis.open(path)
    assert again.modality == corvaxis.Modality.LABEL
    np.testing.assert_array_equal(again.get(), pixels)
    expected = ROTATED_LEFT_HANDED if exact_geometry else ROTATED_LEFT_HANDED.astype(np.float32).astype(np.float64)
    np.testing.assert_allclose(again.voxel_to_world, expected, rtol=1e-12, atol=1e-12)
    peer = nibabel.load(path)
    assert isinstance(peer, nibabel.Nifti2Image if header == 540 else nibabel.Nifti1Image)
    np.testing.assert_allclose(peer.affine, again.voxel_to_world, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(np.asarray(peer.dataobj), pixels.transpose(2, 1, 0))


@pytest.mark.parametrize(
    ("name", "nifti_version", "message"),
    [
        ("image.nii", 1, "32767"),
        ("image.nii", 3, "nifti_version"),
        ("image.nii", 2.0, "nifti_version"),
        ("image.nii", True, "nifti_version"),
        ("image.cvx", 2, "nifti_version"),
    ],
)
def test_nifti_versions_that_cannot_hold_the_set_are_refused(tmp_path, name, nifti_version, message):
    images = corvaxis.SharedImageSet(np.zeros((1, 1, 33000), np.uint8))
    with pytest.raises(ValueError, match=message):
        corvaxis.save(images, tmp_path / name, nifti_version=nifti_version)
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("scaled", [False, True], ids=["stored", "scaled"])
@pytest.mark.parametrize(
    ("name", "version", "endian"),
    [("image.nii", 1, ">"), ("image.nii.gz", 2, ">"), ("image.hdr", 1, "<"), ("image.img", 1, ">"),
     ("image.img.gz", 2, "<"), ("image.hdr", 2, ">")],
    ids=["big-endian", "big-endian nifti-2 gz", "pair by header", "big-endian pair by image", "compressed pair",
         "big-endian nifti-2 pair"],
)
def test_other_tools_forms_read_as_nibabel_reads_them(write_nifti, nibabel, tmp_path, name, version, endian, scaled):
    data = np.arange(5 * 4 * 3 * 2, dtype=np.int16).reshape(5, 4, 3, 2) - 30
    path = write_nifti(data, name, sform=ROTATED, version=version, endian=endian,
                       slope_inter=(0.5, 3.0) if scaled else None)
    peer = nibabel.load(path)
    expected = np.asarray(peer.dataobj)
    # A pair opens by either of its names.
    for opened in [path] + [other for other in sorted(tmp_path.glob("image.*")) if other != path]:
        images = corvaxis.open(opened)
        np.testing.assert_array_equal(images.voxel_to_world, peer.affine)
        assert len(images) == 2
        for volume in range(2):
            np.testing.assert_array_equal(images.get(volume), expected[..., volume].transpose(2, 1, 0))


def set_field(offset, fmt, value):
    """Packs a value into the header bytes in the file's byte order (told by sizeof_hdr)."""

    def change(data):
        order = "<" if struct.unpack("<i", bytes(data[:4]))[0] == 348 else ">"
        struct.pack_into(order + fmt, data, offset, value)

    return change


IMPOSSIBLE_HEADERS = {
    "vox_offset 0": (set_field(108, "f", 0.0), "vox_offset (0) lies inside the header"),
    "vox_offset at the end of the header": (set_field(108, "f", 348.0), "which end at byte 352"),
    "vox_offset not finite": (set_field(108, "f", float("nan")), "vox_offset (nan) is not a finite number"),
    "vox_offset between bytes": (set_field(108, "f", 352.5), "vox_offset (352.5) is not a whole number"),
    "vox_offset past the end": (set_field(108, "f", 1e6), "vox_offset (1e+06) lies past the end"),
    "pixdim 0": (set_field(84, "f", 0.0), "pixdim[2], the voxel size along y, is 0"),
    "pixdim NaN": (set_field(80, "f", float("nan")), "pixdim[1], the voxel size along x, is nan"),
    "pixdim infinite": (set_field(88, "f", float("inf")), "pixdim[3], the voxel size along z, is inf"),
}


@pytest.mark.parametrize("endian", ["<", ">"], ids=["little-endian", "big-endian"])
@pytest.mark.parametrize(("damage", "fragment"), IMPOSSIBLE_HEADERS.values(), ids=IMPOSSIBLE_HEADERS.keys())
def test_impossible_offsets_and_voxel_sizes_are_refused_naming_the_field(write_nifti, tmp_path, endian, damage,
                                                                        fragment):
    # Without a transform (codes 0) the voxel sizes are the whole geometry.
    path = write_nifti(np.ones((4, 4, 4), np.int16), endian=endian)
    path.write_bytes(damaged(path.read_bytes(), damage))
    with pytest.raises(corvaxis.FileFormatError, match=re.escape(fragment)) as raised:
        corvaxis.open(path)
    assert raised.value.filename == str(path)


def test_a_pair_without_its_partner_or_with_the_wrong_magic_is_refused(write_nifti, tmp_path):
    pair = write_nifti(np.ones((2, 2, 2), np.uint8), "pair.hdr")
    single = write_nifti(np.ones((2, 2, 2), np.uint8), "single.nii")
    (tmp_path / "pair.img").rename(tmp_path / "moved.img")
    with pytest.raises(FileNotFoundError, match="pair.img"):
        corvaxis.open(pair)
    (tmp_path / "single.hdr").write_bytes(single.read_bytes()[:348])
    (tmp_path / "single.img").write_bytes(single.read_bytes()[352:])
    with pytest.raises(corvaxis.FileFormatError, match="single-file NIfTI image"):
        corvaxis.open(tmp_path / "single.img")
    (tmp_path / "pair.nii").write_bytes(pair.read_bytes() + (tmp_path / "moved.img").read_bytes())
    with pytest.raises(corvaxis.FileFormatError, match="NIfTI pair"):
        corvaxis.open(tmp_path / "pair.nii")
