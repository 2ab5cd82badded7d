"""
Resolved styles of the objects of anatomical structure collections.
"""
from __future__ import annotations
import corvaxis._core
import corvaxis.anatomy
__all__: list[str] = ['resolve']
def resolve(collection: corvaxis.anatomy.AnatomicalStructureCollection, identifier: str, kind: str, key: str) -> corvaxis._core.Properties:
    """
    The effective style properties of one object, as host Properties.
    """
