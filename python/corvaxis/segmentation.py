"""Segmentations as collections: every segment of every layer of a label image becomes a structure.

A label image read from a file may name its labels (``images.label_names``) and give them colours
(``images.label_colors``); a 3D Slicer segmentation does both, and holds overlapping segments in
several layers, one image of the set each. ``collection_from_segmentation`` turns such a set, of
any number of layers, into one ``GenericASC``.
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np

from corvaxis._core import Modality, SharedImageSet

# Integer ranges up to this size are counted with one bincount instead of a sort.
_BINCOUNT_RANGE = 1 << 24


def first_non_integer(pixels: np.ndarray) -> float | None:
    """The first value (in memory order) that is not a 32-bit integer label, or None."""
    if pixels.dtype.kind in "iu":
        if pixels.dtype.itemsize < 4 or pixels.dtype == np.int32 or pixels.size == 0:
            return None
        outside = pixels > np.iinfo(np.int32).max
    else:
        with np.errstate(invalid="ignore"):
            outside = ~np.isfinite(pixels) | (pixels != np.trunc(pixels)) | (np.abs(pixels) > 2.0**31)
            outside |= pixels == 2.0**31
    index = int(np.argmax(outside.ravel()))
    return float(pixels.ravel()[index]) if outside.ravel()[index] else None


def label_counts(pixels: np.ndarray) -> dict[int, int]:
    """Voxel count of every label value other than 0 that occurs, in ascending order of value.
    The pixels must hold integer labels (see first_non_integer)."""
    if pixels.size == 0:
        return {}
    if pixels.dtype.kind in "iu":
        low, high = int(pixels.min()), int(pixels.max())
        if high - low < _BINCOUNT_RANGE:
            counts = np.bincount((pixels.ravel().astype(np.int64) - low), minlength=high - low + 1)
            values = np.flatnonzero(counts)
            return {int(value) + low: int(counts[value]) for value in values if value + low != 0}
    values, counts = np.unique(pixels, return_counts=True)
    return {int(value): int(count) for value, count in zip(values, counts) if value != 0}


def layer_labels(images: SharedImageSet,
                 layer: int) -> tuple[dict[int, str], dict[int, tuple[float, float, float, float]]]:
    """The names and colours that image ``layer`` of a set gives its labels."""
    selected = images.selected_index
    try:
        images.selected_index = layer
        return images.label_names, images.label_colors
    finally:
        images.selected_index = selected


def _single_image(images: SharedImageSet, layer: int) -> SharedImageSet:
    """Image ``layer`` of a set as a label set of its own, with its geometry."""
    if len(images) == 1:
        return images
    selected = images.selected_index
    try:
        images.selected_index = layer
        single = SharedImageSet(images.get(layer), modality=Modality.LABEL)
        single.voxel_to_world = images.voxel_to_world
        single.label_names = images.label_names
        colors: dict[int, Iterable[float]] = {label: color for label, color in images.label_colors.items()}
        single.label_colors = colors
    finally:
        images.selected_index = selected
    return single


def collection_from_segmentation(images: SharedImageSet, labels: dict[int, str] | None = None, *,
                                 surface: str = "smooth", decimate: float = 1.0):
    """Return one ``GenericASC`` holding a structure for every segment of every layer of a label
    image set (``Modality.LABEL``; each image of the set is a layer).

    ``labels`` maps label values to structure names and applies to every layer; without it each
    layer's ``label_names`` name its labels, and every other label value that occurs becomes a
    structure named after it ("label 3"). Labels named but absent from a layer give no structure.
    Each structure is built as ``corvaxis.anatomy.generic_asc_from_label_map`` builds it (a
    surface mesh ``meshes["surface"]`` with the attributes ``label``, ``voxel_count``, ``volume``
    and ``color``, and a ``centroid`` keypoint); where the layer gives its label a colour
    (``label_colors``, as 3D Slicer's segment colours), the mesh entry's ``color`` attribute is
    that RGBA colour. Structures come layer by layer, in ascending order of label value.
    ``surface`` ("smooth", the default, or "voxel") and ``decimate`` (the share of triangles
    kept, in (0, 1]) choose the meshes as the parameters of
    ``corvaxis.anatomy.GenericASCFromMultiLabelMap`` do.

    Raises ``TypeError`` for anything but an image set, ``ValueError`` for an empty set, a set
    that is not ``Modality.LABEL``, an image holding a value that is not a 32-bit integer (the
    message names the first such value) and surface options outside their range, and
    ``RuntimeError`` with the algorithm's reason when a layer cannot be converted.
    """
    import corvaxis.anatomy as anatomy

    if not isinstance(images, SharedImageSet):
        raise TypeError(f"images must be a SharedImageSet, got {type(images).__name__}")
    if len(images) == 0:
        raise ValueError("an empty image set holds no segmentation")
    if images.modality != Modality.LABEL:
        raise ValueError(f"images must have Modality.LABEL, got Modality.{Modality(images.modality).name}")
    if surface not in ("smooth", "voxel"):
        raise ValueError(f"surface must be 'smooth' or 'voxel', not {surface!r}")
    collection = anatomy.GenericASC()
    for layer in range(len(images)):
        pixels = images.get(layer)
        bad = first_non_integer(pixels)
        if bad is not None:
            raise ValueError(f"the label image holds the value {bad:g}, which is not an integer label")
        names, _ = layer_labels(images, layer)
        if labels is not None:
            mapping = dict(labels)
        else:
            mapping = {value: names.get(value, f"label {value}") for value in label_counts(pixels)}
        if not mapping:
            continue
        # The label map algorithm colours each structure as the image colours its label.
        single = _single_image(images, layer)
        algorithm = anatomy.GenericASCFromMultiLabelMap(single, mapping)
        algorithm.p_surface = anatomy.GenericASCFromMultiLabelMap.Surface[surface.upper()]
        algorithm.p_decimate = decimate
        made = algorithm()
        for index in range(len(made)):
            collection.add(made.anatomical_structure(index))
    return collection


__all__ = ["collection_from_segmentation", "first_non_integer", "label_counts", "layer_labels"]
