"""
The native side of corvaxis.log.
"""
from __future__ import annotations
import typing
__all__: list[str] = ['add_capture_sink', 'level', 'remove_category_filter', 'remove_sink', 'set_category_level', 'set_level', 'write']
def add_capture_sink(records: list) -> int:
    """
    Appends every record written to the list as (level, category, message); returns the sink's id.
    """
def level() -> int:
    ...
def remove_category_filter(category: str) -> None:
    ...
def remove_sink(sink: typing.SupportsInt | typing.SupportsIndex) -> None:
    ...
def set_category_level(category: str, level: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    The lowest level written for a category and its sub-categories.
    """
def set_level(level: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Messages below this level are dropped.
    """
def write(level: typing.SupportsInt | typing.SupportsIndex, category: str, message: str) -> None:
    """
    Logs a message when the global level and the category filters accept it.
    """
