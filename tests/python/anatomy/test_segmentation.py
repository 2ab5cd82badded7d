"""corvaxis.segmentation.collection_from_segmentation: segmentations of any number of layers as one
collection, named and coloured as their files say."""

import numpy as np
import pytest

import corvaxis
from corvaxis.segmentation import collection_from_segmentation

LIVER = ((10.0, 12.0, 10.0), (7.0, 6.0, 5.0), 1)
KIDNEY = ((24.0, 8.0, 12.0), (3.0, 3.0, 4.0), 2)
TUMOUR = ((11.0, 12.0, 10.0), (3.0, 3.0, 3.0), 1)  # inside the liver, on a layer of its own
SHAPE = (24, 28, 32)
SEGMENTS = [
    {"name": "liver", "label": 1, "layer": 0, "color": (0.75, 0.5, 0.25)},
    {"name": "kidney", "label": 2, "layer": 0, "color": (0.25, 0.5, 1.0)},
    {"name": "tumour", "label": 1, "layer": 1, "color": (1.0, 0.0, 0.0)},
]


def structures(collection):
    """(identifier, label, voxel count, RGBA colour) of a collection's structures, in order."""
    found = []
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        attributes = structure.meshes.attributes["surface"]
        found.append((structure.identifier, attributes["label"], attributes["voxel_count"],
                      tuple(np.round(attributes["color"], 6))))
    return found


@pytest.mark.parametrize(
    ("layers", "labels", "expected"),
    [
        ([[LIVER, KIDNEY]], None, [("liver", 0, 0), ("kidney", 0, 1)]),
        ([[LIVER, KIDNEY], [TUMOUR]], None, [("liver", 0, 0), ("kidney", 0, 1), ("tumour", 1, 2)]),
        # A list of labels applies to every layer; the file's colours stay.
        ([[LIVER, KIDNEY], [TUMOUR]], {1: "organ"}, [("organ", 0, 0), ("organ", 1, 2)]),
    ],
    ids=["one layer", "two layers", "labels given"],
)
def test_every_segment_of_every_layer_becomes_a_coloured_structure(tmp_path, slicer_segmentation, paint, layers,
                                                                   labels, expected):
    arrays = [paint(SHAPE, ellipsoids) for ellipsoids in layers]
    segments = [segment for segment in SEGMENTS if segment["layer"] < len(arrays)]
    path = slicer_segmentation(tmp_path / "case.seg.nrrd", arrays if len(arrays) > 1 else arrays[0], segments)
    wanted = []
    for name, layer, segment in expected:
        label, color = SEGMENTS[segment]["label"], SEGMENTS[segment]["color"]
        wanted.append((name, label, int(np.count_nonzero(arrays[layer] == label)), (*color, 1.0)))
    assert structures(collection_from_segmentation(corvaxis.open(path), labels)) == wanted


def test_labels_without_names_are_named_after_their_value(paint):
    images = corvaxis.SharedImageSet(paint(SHAPE, [LIVER, ((24.0, 8.0, 12.0), (3.0, 3.0, 4.0), 7)]),
                                     modality=corvaxis.Modality.LABEL)
    images.label_names = {7: "kidney"}
    assert [entry[0] for entry in structures(collection_from_segmentation(images))] == ["label 1", "kidney"]


@pytest.mark.parametrize(
    ("images", "error_type", "message"),
    [
        (lambda: np.zeros((2, 2, 2)), TypeError, "images must be a SharedImageSet"),
        (lambda: corvaxis.SharedImageSet(), ValueError, "an empty image set holds no segmentation"),
        (lambda: corvaxis.SharedImageSet(np.zeros((2, 2, 2), np.uint8)), ValueError, "Modality.LABEL, got Modality.NA"),
        (lambda: corvaxis.SharedImageSet(np.array([[[0, 1], [2.5, 1]]]), modality=corvaxis.Modality.LABEL),
         ValueError, "holds the value 2.5, which is not an integer label"),
    ],
    ids=["array", "empty", "not labels", "non-integer value"],
)
def test_what_is_no_segmentation_is_refused(images, error_type, message):
    with pytest.raises(error_type, match=message):
        collection_from_segmentation(images())
