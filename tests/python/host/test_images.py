import numpy as np
import pytest

from corvaxis import Modality, SharedImageSet

DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_images_come_back_with_their_dtype_shape_and_pixels(dtype):
    slices = np.arange(24).reshape(2, 3, 4).astype(dtype)
    images = SharedImageSet([slices, slices[::-1]])
    assert len(images) == 2
    first = images.get(0)
    assert first.dtype == np.dtype(dtype) and np.array_equal(first, slices)
    assert np.array_equal(images.get(1), slices[::-1])


def test_pixels_are_copied_in_and_out():
    pixels = np.arange(12, dtype=np.float32).reshape(3, 4)
    images = SharedImageSet(pixels)
    pixels[0, 0] = 42
    images.get(0)[0, 1] = 42
    assert images.get(0)[0].tolist() == [0, 1, 2, 3]


def test_foreign_layouts_and_bool_are_converted():
    big_endian = np.arange(6, dtype=">u2").reshape(2, 3)
    transposed = np.arange(6, dtype=np.int16).reshape(3, 2).T
    assert SharedImageSet(big_endian).get().tolist() == [[0, 1, 2], [3, 4, 5]]
    assert SharedImageSet(transposed).get().tolist() == transposed.tolist()
    mask = SharedImageSet(np.array([[True, False]]))
    assert mask.get().dtype == np.uint8 and mask.get().tolist() == [[1, 0]]


def test_current_image_modality_and_spacing():
    images = SharedImageSet([np.zeros((2, 2)), np.ones((2, 2))], spacing=(0.5, 0.5, 2), modality=Modality.LABEL)
    assert images.modality == Modality.LABEL == 8 and images.spacing.tolist() == [0.5, 0.5, 2]
    images.selected_index = 1
    assert images.get(-1).tolist() == [[1, 1], [1, 1]]
    images.modality = Modality.CT
    images.spacing = [1, 2, 3]
    assert images.modality is Modality.CT and images.clone().spacing.tolist() == [1, 2, 3]
    with pytest.raises(IndexError) as error:
        images.selected_index = 2
    assert str(error.value) == "image index out of range"
    assert repr(images) == "<SharedImageSet, images=2, shape=(2, 2), dtype=float64, modality=CT>"


def test_clone_is_deep_and_empty_sets_clone_to_none():
    images = SharedImageSet(np.zeros((2, 2, 2), dtype=np.uint8))
    clone = images.clone()
    clone.append(np.ones((2, 2, 2), dtype=np.uint8))
    clone.name = "copy"
    assert (len(images), len(clone), images.name) == (1, 2, "")
    empty = SharedImageSet([])
    assert empty.clone() is None and empty.spacing is None and len(SharedImageSet()) == 0
    assert repr(empty) == "<SharedImageSet, images=0, modality=NA>"


def test_get_out_of_range():
    images = SharedImageSet(np.zeros((2, 2)))
    for index in (1, -2):
        with pytest.raises(IndexError) as error:
            images.get(index)
        assert str(error.value) == f"image index {index} out of range for a set of 1 images"


@pytest.mark.parametrize(
    "images, kwargs, error_type, message",
    [
        (np.zeros((2, 2), dtype=np.int64), {}, TypeError,
         "images must have dtype uint8, int8, uint16, int16, uint32, int32, float32 or float64, got int64"),
        (np.zeros(4), {}, ValueError, "images must have shape (H, W) or (D, H, W), got (4,)"),
        (np.zeros((0, 4)), {}, ValueError,
         "images must have between 1 and 2147483647 pixels along each axis, got (0, 4)"),
        ([np.zeros((2, 2)), np.zeros((3, 3))], {}, ValueError,
         "images[1] must have the shape of images[0], (2, 2), got (3, 3)"),
        ([np.zeros((2, 2)), np.zeros((2, 2), dtype=np.uint8)], {}, TypeError,
         "images[1] must have the dtype of images[0], float64, got uint8"),
        (np.zeros((2, 2)), {"spacing": (1, 1)}, ValueError, "spacing must have shape (3,), got (2,)"),
        (np.zeros((2, 2)), {"spacing": (1, 0, 1)}, ValueError, "spacing must be positive and finite, got (1, 0, 1)"),
    ],
)
def test_bad_images_are_rejected(images, kwargs, error_type, message):
    with pytest.raises(error_type) as error:
        SharedImageSet(images, **kwargs)
    assert str(error.value) == message


def test_append_requires_matching_images():
    images = SharedImageSet(np.zeros((2, 3), dtype=np.uint8), spacing=(2, 2, 2))
    images.append(np.ones((2, 3), dtype=np.uint8))
    with pytest.raises(ValueError) as error:
        images.append(np.ones((3, 2), dtype=np.uint8))
    assert str(error.value) == "image must have the shape of the set's images, (2, 3), got (3, 2)"
    assert len(images) == 2


def test_label_names_and_colours_belong_to_each_image():
    images = SharedImageSet([np.zeros((2, 2), np.uint8)] * 2, modality=Modality.LABEL)
    assert (images.label_names, images.label_colors) == ({}, {})
    images.label_names = {1: "liver", np.int64(-2): "kidney"}
    images.label_colors = {1: [0.5, 0.25, 1.0], 2: np.array([0.0, 0.0, 0.0, 0.5])}
    assert images.label_names == {-2: "kidney", 1: "liver"}
    assert images.label_colors == {1: (0.5, 0.25, 1.0, 1.0), 2: (0.0, 0.0, 0.0, 0.5)}
    images.selected_index = 1
    assert (images.label_names, images.label_colors) == ({}, {})
    assert images.clone().label_names == {}
    images.selected_index = 0
    assert images.clone().label_names == {-2: "kidney", 1: "liver"}


@pytest.mark.parametrize(
    "attribute, value, error_type, message",
    [
        ("label_names", {1: 5}, TypeError, "label_names[1] must be str, got int"),
        ("label_names", {"1": "liver"}, TypeError, "label_names keys must be int label values, got '1'"),
        ("label_names", {2**40: "liver"}, ValueError, "label_names keys must be 32-bit label values, got 1099511627776"),
        ("label_names", [(1, "liver")], TypeError, "incompatible function arguments"),
        ("label_colors", {1: (0.5, 2.0, 0.0)}, ValueError,
         "label_colors[1] must have components in [0, 1], got (0.5, 2, 0, 1)"),
        ("label_colors", {1: (0.5, float("nan"), 0.0)}, ValueError, "label_colors[1] must have components in [0, 1]"),
        ("label_colors", {1: (0.5, 0.5)}, ValueError, "label_colors[1] must have shape (3,) or (4,), got (2,)"),
        ("label_colors", {"red": (1, 0, 0)}, TypeError, "label_colors keys must be int label values, got 'red'"),
        ("label_colors", {True: (1, 0, 0)}, TypeError, "label_colors keys must be int label values, got True"),
    ],
)
def test_bad_label_names_and_colours_are_rejected(attribute, value, error_type, message):
    images = SharedImageSet(np.zeros((2, 2), np.uint8))
    with pytest.raises(error_type) as error:
        setattr(images, attribute, value)
    assert message in str(error.value)
    assert getattr(images, attribute) == {}
    with pytest.raises(ValueError, match="an empty image set has no label"):
        setattr(SharedImageSet(), attribute, {})
