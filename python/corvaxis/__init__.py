"""corvaxis: scripting 3-D anatomy work in Python."""

import importlib as _importlib
import os as _os

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
)
from corvaxis import log
from corvaxis.graph import Graph
from corvaxis._core import _load, _save

# Kinds whose classes and readers come with an extension module that is imported on demand.
_KIND_MODULES = {
    "AnatomicalStructureCollection": "corvaxis.anatomy",
    "GenericASC": "corvaxis.anatomy",
}


def _import_module_of(kind):
    module = _KIND_MODULES.get(kind)
    if module is not None:
        _importlib.import_module(module)


def open(path):
    """Return the data object stored in a corvaxis data file (``.cvx``), as its most derived class.

    A file holding a collection comes back as ``corvaxis.anatomy.GenericASC`` (the module is
    imported when needed). ``path`` is a ``str`` or ``os.PathLike``. Reading is all or nothing:
    a missing file raises ``FileNotFoundError``; a file that is not a corvaxis data file, or is
    truncated, damaged, of a newer format version, or of a kind no module reads raises
    ``FileFormatError`` (an ``OSError``). Messages and ``filename`` name the file.
    """
    return _load(_os.fspath(path), _import_module_of)


def save(data, path):
    """Write a data object (a collection, image set, mesh, point cloud or graph) to ``path``.

    The file is a corvaxis data file (by convention ``.cvx``): HDF5 behind a checked header, see
    docs/file-format.md. Saving is atomic: the data goes to a temporary file next to ``path``
    that replaces ``path`` only when complete, so a failed or interrupted save leaves an
    existing file as it was. Data that a file cannot hold raises ``ValueError``; failures of the
    system raise ``OSError``.
    """
    _save(data, _os.fspath(path))


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
    "log",
    "save",
]
# `open` is left out of __all__ on purpose: a star import would hide the built-in open.
