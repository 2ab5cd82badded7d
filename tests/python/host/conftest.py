"""Shared factories of the host package tests: NIfTI files written by nibabel, the peer reader."""

import struct

import numpy as np
import pytest


@pytest.fixture
def nibabel():
    return pytest.importorskip("nibabel")


@pytest.fixture
def write_nifti(tmp_path, nibabel):
    """write_nifti(data, name, sform=..., qform=..., intent=None, slope_inter=None, version=1) -> path.

    ``data`` is indexed [i, j, k(, t)] as nibabel holds it; a transform given as None is left unset
    (code 0).
    """

    def write(data, name="image.nii", sform=None, qform=None, intent=None, slope_inter=None, version=1):
        image_class = nibabel.Nifti1Image if version == 1 else nibabel.Nifti2Image
        image = image_class(np.asarray(data), None)
        image.set_sform(sform, code=0 if sform is None else 2)
        image.set_qform(qform, code=0 if qform is None else 1)
        if intent is not None:
            image.header.set_intent(intent)
        if slope_inter is not None:
            image.header.set_slope_inter(*slope_inter)
        path = tmp_path / name
        nibabel.save(image, path)
        if qform is None and sform is None:
            # nibabel stores a transform of its own; clear both codes in the header itself.
            content = bytearray(path.read_bytes())
            assert version == 1 and not name.endswith(".gz")
            content[252:256] = struct.pack("<hh", 0, 0)
            content[80:92] = struct.pack("<fff", 1.5, 0.75, 2.0)
            path.write_bytes(bytes(content))
        return path

    return write
