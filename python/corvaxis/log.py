"""The host's log: the global level, category filters, and capturing records from Python.

Levels: 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 fatal. Without a capture, records go to
standard error.
"""

import contextlib
import enum
from collections.abc import Iterator

from corvaxis._core import _log as _native

__all__ = ["Level", "level", "set_level", "write", "set_category_level", "remove_category_filter", "capture"]


class Level(enum.IntEnum):
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARNING = 3
    ERROR = 4
    FATAL = 5


level = _native.level
set_level = _native.set_level
write = _native.write
set_category_level = _native.set_category_level
remove_category_filter = _native.remove_category_filter


@contextlib.contextmanager
def capture(level: int | None = None) -> Iterator[list[tuple[int, str, str]]]:
    """Collects the records written inside the block, as (level, category, message) tuples.

    With a level, the global level is set to it for the duration of the block.
    """
    records: list[tuple[int, str, str]] = []
    previous = _native.level()
    if level is not None:
        _native.set_level(level)
    sink = _native.add_capture_sink(records)
    try:
        yield records
    finally:
        _native.remove_sink(sink)
        _native.set_level(previous)
