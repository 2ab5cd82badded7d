"""corvaxis: scripting 3-D anatomy work in Python."""

__version__ = "0.1.0"

import importlib as _importlib
import os as _os
import typing as _typing
from typing import TYPE_CHECKING as _TYPE_CHECKING

from corvaxis._core import (
    Algorithm,
    Data,
    DataComponentBase,
    DataComponentList,
    FileFormatError,
    LabelDataComponent,
    Mesh,
    Modality,
    PointCloud,
    Properties,
    SharedImageSet,
    computing_threads,
    set_computing_threads,
)
from corvaxis import log
from corvaxis.graph import Graph
from corvaxis._core import _load, _load_nifti, _load_nrrd, _save, _save_nifti

# Kinds whose classes and readers come with an extension module that is imported on demand.
_KIND_MODULES = {
    "AnatomicalStructureCollection": "corvaxis.anatomy",
    "GenericASC": "corvaxis.anatomy",
}


def _import_module_of(kind: str) -> None:
    module = _KIND_MODULES.get(kind)
    if module is not None:
        _importlib.import_module(module)


# Suffixes of formats other than the two that save writes; a data file under one of these names
# would mislead every tool that trusts the name.
_OTHER_FORMATS = frozenset({
    ".vtk", ".vtp", ".vtu", ".vti", ".ply", ".stl", ".obj", ".off", ".gltf", ".glb", ".nrrd", ".nhdr", ".mha",
    ".mhd", ".mgh", ".mgz", ".dcm", ".dicom", ".gz", ".zip", ".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp",
    ".json", ".csv", ".txt", ".xml", ".npy", ".npz", ".h5", ".hdf5", ".mat", ".pkl", ".fcsv", ".mrk", ".img",
    ".hdr",
})


def _is_nifti(path: str) -> bool:
    name = _os.path.basename(path).lower()
    return name.endswith(".nii") or name.endswith(".nii.gz")


def _is_nifti_pair(path: str) -> bool:
    name = _os.path.basename(path).lower()
    return name.endswith((".hdr", ".hdr.gz", ".img", ".img.gz"))


def _is_nrrd(path: str) -> bool:
    return _os.path.basename(path).lower().endswith((".nrrd", ".nhdr"))


if _TYPE_CHECKING:
    from corvaxis.anatomy import GenericASC as _GenericASC

# What a file can hold; narrow it with isinstance (or an assert) before using what one kind has.
_Opened = _typing.Union[SharedImageSet, "_GenericASC", Mesh, PointCloud, Graph]


def open(path: str | _os.PathLike[str], modality: Modality | None = None) -> _Opened:
    """Return the data object stored in a file, chosen by its extension.

    ``.nii`` and ``.nii.gz`` are NIfTI-1 or NIfTI-2 images, and so are pairs of a header ``.hdr``
    and an image ``.img`` (or ``.img.gz``), opened by either name; they come back as a
    ``SharedImageSet`` (one image per volume of a 4-D file) with the file's voxel-to-world mapping
    (see docs/images.md), in either byte order; a file whose intent says label opens with
    ``Modality.LABEL``. ``.nrrd`` files and ``.nhdr`` headers (with their data file) are NRRD
    images read through Teem, their space converted to the right-anterior-superior world; a 3D
    Slicer segmentation (``.seg.nrrd``) opens with ``Modality.LABEL``, one image per layer, its
    segments' names and colours in ``label_names`` and ``label_colors``. Any other
    name is a corvaxis data file (``.cvx``) and comes back as its most derived class: a file
    holding a collection comes back as ``corvaxis.anatomy.GenericASC`` (the module is imported
    when needed).

    ``modality`` (a ``Modality``) sets the modality of the image set read, for example
    ``Modality.LABEL`` for segmentations written without the label intent; a file that holds no
    image set then raises ``TypeError``. ``path`` is a ``str`` or ``os.PathLike``. Reading is all
    or nothing: a missing file raises ``FileNotFoundError``; a file that is not of its format, or
    is truncated, damaged, of a newer format version, or of a kind no module reads raises
    ``FileFormatError`` (an ``OSError``). Messages and ``filename`` name the file.
    """
    path = _os.fspath(path)
    if modality is not None:
        modality = Modality(modality)
    if _is_nifti(path) or _is_nifti_pair(path):
        return _load_nifti(path, modality)
    if _is_nrrd(path):
        return _load_nrrd(path, modality)
    data = _load(path, _import_module_of)
    if modality is not None:
        if not isinstance(data, SharedImageSet):
            raise TypeError(f"{path}: modality applies to image sets, the file holds a {type(data).__name__}")
        data.modality = modality
    # _load gives the most derived class of what the file holds, one of _Opened.
    return _typing.cast(_Opened, data)


def save(data: Data, path: str | _os.PathLike[str], nifti_version: int | None = None) -> None:
    """Write a data object (a collection, image set, mesh, point cloud or graph) to ``path``.

    A path ending in ``.nii`` or ``.nii.gz`` (compressed) takes an image set as a NIfTI image; a
    label set carries the label intent. ``nifti_version`` chooses the header: ``1`` (NIfTI-1,
    geometry in single precision, at most 32767 voxels or volumes along an axis), ``2`` (NIfTI-2,
    geometry in double precision, 64-bit extents) or ``None``, NIfTI-1 when the set fits it and
    NIfTI-2 otherwise. Any other path gets a corvaxis data file (by convention
    ``.cvx``): HDF5 behind a checked header, see docs/file-format.md. Saving is atomic: the data
    goes to a temporary file next to ``path`` that replaces ``path`` only when complete, so a
    failed or interrupted save leaves an existing file as it was. Data that a file cannot hold
    raises ``ValueError``, and so does a path whose suffix names another format (``.vtk``, ``.ply``,
    ``.nrrd``, ``.png``, ``.h5`` and the like); failures of the system raise ``OSError``.
    """
    path = _os.fspath(path)
    if nifti_version is not None and (type(nifti_version) is not int or nifti_version not in (1, 2)):
        raise ValueError(f"nifti_version must be 1, 2 or None, got {nifti_version!r}")
    if _is_nifti(path):
        if not isinstance(data, SharedImageSet):
            raise TypeError(f"{path}: only image sets can be saved as NIfTI, got {type(data).__name__}")
        _save_nifti(data, path, nifti_version)
    else:
        if nifti_version is not None:
            raise ValueError(f"{path}: nifti_version applies to .nii and .nii.gz paths")
        suffix = _os.path.splitext(path)[1].lower()
        if suffix in _OTHER_FORMATS:
            raise ValueError(f"{path}: '{suffix}' names another format; save writes corvaxis data files "
                             "(.cvx) and NIfTI images (.nii, .nii.gz)")
        _save(data, path)


__all__ = [
    "Algorithm",
    "Data",
    "DataComponentBase",
    "DataComponentList",
    "FileFormatError",
    "Graph",
    "LabelDataComponent",
    "Mesh",
    "Modality",
    "PointCloud",
    "Properties",
    "SharedImageSet",
    "computing_threads",
    "log",
    "save",
    "set_computing_threads",
]
# `open` is left out of __all__ on purpose: a star import would hide the built-in open.
