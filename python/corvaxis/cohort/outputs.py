"""The files of a cohort run: atomic writes, the records that let a rerun skip finished work, and
statistics.csv."""

from __future__ import annotations

import contextlib
import csv
import io
import json
import math
import os
import secrets
from collections.abc import Callable, Iterable
from typing import Any

STATE = ".cohort"
STATISTICS = "statistics.csv"
REPORT = "report.json"

COLUMNS = ("subject", "structure", "label", "voxel_count", "volume_mm3", "surface_area_mm2", "centroid_x",
           "centroid_y", "centroid_z", "rms_before_mm", "rms_after_mm", "mean_surface_distance_mm")


def write_atomically(path: str, write: Callable[[str], None], suffix: str = ".partial") -> None:
    """write(temporary_path) fills a file next to path that then replaces path in one step, so
    that path is either the old file or the whole new one."""
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{os.getpid()}.{secrets.token_hex(4)}{suffix}")
    # Created with the permissions the user's umask gives any new file.
    os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        write(temporary)
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_text(path: str, text: str) -> None:
    def write(temporary: str) -> None:
        with open(temporary, "w", encoding="utf-8", newline="") as file:
            file.write(text)

    write_atomically(path, write)


def _plain(value: Any) -> Any:
    """JSON without NaN, which strict readers refuse: null instead."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    return value


def write_json(path: str, value: Any) -> None:
    write_text(path, json.dumps(_plain(value), indent=2) + "\n")


def read_json(path: str) -> Any:
    """The value in a JSON file, or None where it is missing or unreadable."""
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError):
        return None


def modified(path: str) -> int | None:
    """Modification time in nanoseconds, or None for a missing file."""
    try:
        return os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return None


def newer_than_all(path: str, sources: Iterable[str]) -> bool:
    """Whether path exists and is at least as new as every source (missing sources count as new)."""
    own = modified(path)
    if own is None:
        return False
    for source in sources:
        time = modified(source)
        if time is None or time > own:
            return False
    return True


def record_path(out_dir: str, subject: str) -> str:
    return os.path.join(out_dir, STATE, subject + ".json")


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return ""
    return repr(value) if isinstance(value, float) else str(value)


def statistics_rows(records: dict[str, dict[str, Any]]) -> list[list[str]]:
    """One row per subject and structure, by subject and then structure."""
    rows = []
    for subject in sorted(records):
        record = records[subject]
        figures = record.get("registration", {}).get("figures", {})
        for row in sorted(record["collection"]["rows"], key=lambda row: row["structure"]):
            centroid = row.get("centroid") or [None, None, None]
            registered = figures.get(row["structure"], {})
            rows.append([_cell(value) for value in (
                subject, row["structure"], row.get("label"), row.get("voxel_count"), row.get("volume_mm3"),
                row.get("surface_area_mm2"), *centroid, registered.get("rms_before_mm"),
                registered.get("rms_after_mm"), registered.get("mean_surface_distance_mm"))])
    return rows


def write_statistics(path: str, records: dict[str, dict[str, Any]]) -> None:
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(COLUMNS)
    writer.writerows(statistics_rows(records))
    write_text(path, text.getvalue())
