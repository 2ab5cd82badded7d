"""Shared factories of the anatomy module tests."""

import numpy as np
import pytest

import corvaxis


def paint_ellipsoids(shape, ellipsoids, dtype=np.uint8):
    """A (D, H, W) label array with ellipsoids ((x, y, z) centre, (x, y, z) semi-axes, label) painted in."""
    volume = np.zeros(shape, dtype=dtype)
    z, y, x = np.indices(shape)
    for centre, semi_axes, label in ellipsoids:
        inside = sum(((axis - c) / r) ** 2 for axis, c, r in zip((x, y, z), centre, semi_axes)) <= 1.0
        volume[inside] = label
    return volume


@pytest.fixture
def paint():
    return paint_ellipsoids


@pytest.fixture
def label_image():
    """label_image(ellipsoids, shape=(24, 28, 32), spacing=(1, 1, 1), dtype=uint8) -> a label SharedImageSet."""

    def make(ellipsoids, shape=(24, 28, 32), spacing=(1.0, 1.0, 1.0), dtype=np.uint8):
        return corvaxis.SharedImageSet(
            paint_ellipsoids(shape, ellipsoids, dtype), spacing=spacing, modality=corvaxis.Modality.LABEL
        )

    return make


@pytest.fixture
def organs():
    """Three labels: a large liver, a kidney in two pieces (labels 2 and 4) and a spleen at the border."""
    return [
        ((10.0, 12.0, 10.0), (7.0, 6.0, 5.0), 1),
        ((24.0, 8.0, 12.0), (3.0, 3.0, 4.0), 2),
        ((24.0, 20.0, 12.0), (3.0, 3.0, 4.0), 4),
        ((31.0, 14.0, 20.0), (4.0, 5.0, 4.0), 3),
    ]
