"""Resolved styles: the effective style properties of one object of a collection.

The style sheets of the collection's display options (``collection.components.asc_display_options``)
are applied through the cascade described in docs/styling.md. The sheets are flattened once and
kept until they change, so resolving every object of a scene stays cheap.
"""

from typing import Any

import corvaxis.anatomy  # also registers the collection classes that _styling takes
from corvaxis import _styling

__all__ = ["KINDS", "resolve"]

KINDS = ("structure", "keypoint", "plane", "image", "mesh", "pointcloud", "graph")


def resolve(collection: corvaxis.anatomy.AnatomicalStructureCollection, identifier: str, kind: str,
            key: str) -> dict[str, Any]:
    """The effective properties of one object, a dict of property name to value.

    ``kind`` is one of KINDS (``"structure"`` for the structure itself, whose ``key`` is then
    ignored), ``identifier`` names the structure and ``key`` the entry in its store of that kind.
    The entry's own attributes take part when the structure holds it. Colours come out as NumPy
    arrays of 3 or 4 floats. A collection without display options gives an empty dict.
    """
    return _styling.resolve(collection, identifier, kind, key).asdict()
