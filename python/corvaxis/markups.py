"""Keypoints and planes as 3D Slicer markups files (``.mrk.json``).

A structure's keypoints (``keypoints2``) become one point list (markup type ``Fiducial``) named
after the structure, one control point per keypoint labelled with its key; each plane
(``planes``, coefficients ``(a, b, c, d)`` of ``a x + b y + c z + d = 0``) becomes a markup of
type ``Plane`` named after its key, written as a point and a normal. Values are world coordinates,
as the stores hold them (``corvaxis.world``; the structure's ``matrix_to_world`` is not applied
again); corvaxis world coordinates are RAS (those of NIfTI), and a file may state either RAS or
LPS (``coordinateSystem``), which reading converts.

Writing then reading gives back exactly the values written: numbers are written in their
shortest exact form, the plane's normal is written as stored, and its point is chosen so that
``d == -(normal . point)`` exactly. Files that cannot be honoured (another markup type, another
unit, a point list with unlabelled or repeated labels, a plane without a normal) are refused with
``FileFormatError`` naming the file and what is wrong. Control points whose position is missing
or undefined hold no coordinates and are skipped.
"""

from __future__ import annotations

import json
import math
import os
import tempfile
from typing import Any, Iterable, Mapping, NamedTuple

import numpy as np

from corvaxis import world
from corvaxis._core import FileFormatError

SCHEMA = ("https://raw.githubusercontent.com/slicer/slicer/master/Modules/Loadable/Markups/Resources/Schema/"
          "markups-schema-v1.0.3.json#")
COORDINATE_SYSTEMS = ("RAS", "LPS")
# RAS and LPS differ in the sign of their first two axes.
_RAS_LPS = np.array([-1.0, -1.0, 1.0])
_IDENTITY_ORIENTATION = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
_SKIPPED_STATUS = ("missing", "undefined")


class Markups(NamedTuple):
    """Keypoints ((3,) float64 arrays) and planes ((4,) float64 arrays) by key."""

    keypoints: dict[str, np.ndarray]
    planes: dict[str, np.ndarray]


# --- writing ---------------------------------------------------------------------------------

def _plane_offset(normal: Iterable[float], point: Iterable[float]) -> float:
    """d of the plane through point with normal, computed the one way reading does."""
    n, p = list(normal), list(point)
    return -(n[0] * p[0] + n[1] * p[1] + n[2] * p[2])


def _settled_point(normal: np.ndarray, offset: float, point: list[float]) -> tuple[list[float], float]:
    """The point moved along one axis after the other (the normal's largest component first), by
    the error and then one unit in the last place at a time while the error does not grow."""
    error = _plane_offset(normal, point) - offset
    for axis in np.argsort(-np.abs(normal)).tolist():
        if normal[axis] == 0.0:
            continue
        start, start_error = point, error
        # A step by the whole error first, for axes whose units in the last place are too fine to walk.
        jumped = point[:axis] + [point[axis] + error / float(normal[axis])] + point[axis + 1:]
        jumped_error = _plane_offset(normal, jumped) - offset
        if abs(jumped_error) < abs(error):
            point, error = jumped, jumped_error
        for _ in range(64):
            if error == 0.0:
                return point, error
            # A larger n . p gives a smaller computed offset.
            toward = math.inf if (error > 0.0) == (normal[axis] > 0.0) else -math.inf
            candidate = list(point)
            candidate[axis] = math.nextafter(point[axis], toward)
            candidate_error = _plane_offset(normal, candidate) - offset
            if abs(candidate_error) > abs(error):
                break
            point, error = candidate, candidate_error
        if abs(error) > abs(start_error):
            point, error = start, start_error
    return point, error


def _plane_point(normal: np.ndarray, offset: float) -> list[float]:
    """A point of the plane from which reading computes exactly the given offset: the point
    closest to the origin, settled; failing that, points shifted slightly within the plane, whose
    roundings differ. Without such a point the closest one is kept."""
    closest = -offset * normal / float(normal @ normal)
    tangent = np.cross(normal, np.eye(3)[int(np.argmin(np.abs(normal)))])
    tangent *= 1e-9 * (1.0 + float(np.abs(closest).max())) / np.linalg.norm(tangent)
    best = [float(value) for value in closest]
    for shift in range(16):
        point, error = _settled_point(normal, offset, [float(value) for value in closest + shift * tangent])
        if error == 0.0:
            return point
        if shift == 0:
            best = point
    return best


def _control_point(index: int, label: str, position: Iterable[float]) -> dict[str, Any]:
    return {"id": str(index), "label": label, "description": "", "associatedNodeID": "",
            "position": [float(value) for value in position], "orientation": list(_IDENTITY_ORIENTATION),
            "selected": True, "locked": False, "visibility": True, "positionStatus": "defined"}


def _markup(kind: str, name: str, coordinate_system: str, points: list[dict[str, Any]]) -> dict[str, Any]:
    return {"type": kind, "name": name, "coordinateSystem": coordinate_system, "coordinateUnits": "mm",
            "locked": False, "fixedNumberOfControlPoints": kind == "Plane", "labelFormat": "%N-%d",
            "lastUsedControlPointNumber": len(points), "controlPoints": points, "measurements": []}


def markups_document(name: str, keypoints: Mapping[str, Any], planes: Mapping[str, Any],
                     coordinate_system: str = "LPS") -> dict[str, Any]:
    """The markups JSON document (a dict) of keypoints and planes given in RAS coordinates."""
    if coordinate_system not in COORDINATE_SYSTEMS:
        raise ValueError(f"coordinate_system must be 'RAS' or 'LPS', got {coordinate_system!r}")
    sign = _RAS_LPS if coordinate_system == "LPS" else np.ones(3)
    for kind, values in (("keypoint", keypoints), ("plane", planes)):
        for key, value in values.items():
            if not np.isfinite(np.asarray(value, dtype=np.float64)).all():
                raise ValueError(f"{kind} '{key}' is not finite; a markups file holds finite numbers")
    markups = []
    points = [_control_point(index + 1, str(key), np.asarray(value, dtype=np.float64).reshape(3) * sign)
              for index, (key, value) in enumerate(keypoints.items())]
    markups.append(_markup("Fiducial", name, coordinate_system, points))
    for key, value in planes.items():
        plane = np.asarray(value, dtype=np.float64).reshape(4)
        normal = plane[:3] * sign
        if not np.any(normal):
            raise ValueError(f"plane '{key}' has no normal (its first three coefficients are 0)")
        center = _plane_point(normal, float(plane[3]))
        markup = _markup("Plane", str(key), coordinate_system, [_control_point(1, str(key), center)])
        unit = normal / np.linalg.norm(normal)
        helper = np.eye(3)[int(np.argmin(np.abs(unit)))]
        x_axis = np.cross(helper, unit)
        x_axis /= np.linalg.norm(x_axis)
        object_to_base = np.eye(4)
        object_to_base[:3, :3] = np.column_stack([x_axis, np.cross(unit, x_axis), unit])
        base_to_node = np.eye(4)
        base_to_node[:3, 3] = center
        markup.update({"planeType": "pointNormal", "sizeMode": "auto", "autoScalingSizeFactor": 1.0,
                       "center": center, "normal": normal.tolist(), "size": [0.0, 0.0],
                       "objectToBase": object_to_base.ravel().tolist(),
                       "baseToNode": base_to_node.ravel().tolist(),
                       "orientation": object_to_base[:3, :3].ravel().tolist()})
        markups.append(markup)
    return {"@schema": SCHEMA, "markups": markups}


def write_markups(structure, path: str | os.PathLike[str], *, coordinate_system: str = "LPS") -> None:
    """Write a structure's keypoints and planes to a markups file in the coordinate system given
    (``"LPS"``, as 3D Slicer writes, or ``"RAS"``)."""
    document = markups_document(
        structure.identifier,
        {key: world.positions(structure, "keypoints2", key) for key in structure.keypoints2.keys()},
        {key: world.positions(structure, "planes", key) for key in structure.planes.keys()}, coordinate_system)
    path = os.fspath(path)
    # Written next to the target and renamed over it when complete, as corvaxis saves files.
    directory, name = os.path.split(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            json.dump(document, file, indent=2, ensure_ascii=False, allow_nan=False)
            file.write("\n")
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


# --- reading ---------------------------------------------------------------------------------

class _Refusal(Exception):
    """What is wrong with a document; turned into FileFormatError naming the file."""


def _numbers(value: Any, count: int, what: str) -> np.ndarray:
    if (not isinstance(value, list) or len(value) != count
            or not all(isinstance(item, (int, float)) and not isinstance(item, bool) for item in value)):
        raise _Refusal(f"{what} must be a list of {count} numbers")
    numbers = np.array(value, dtype=np.float64)
    if not np.isfinite(numbers).all():
        raise _Refusal(f"{what} must hold finite numbers")
    return numbers


def _text(markup: Mapping[str, Any], key: str, what: str, default: str | None = None) -> str:
    value = markup.get(key, default)
    if not isinstance(value, str):
        raise _Refusal(f"{what} has no text '{key}'")
    return value


def _defined_points(markup: Mapping[str, Any], what: str) -> list[tuple[str, np.ndarray]]:
    points = markup.get("controlPoints", [])
    if not isinstance(points, list):
        raise _Refusal(f"{what}: 'controlPoints' must be a list")
    defined = []
    for index, point in enumerate(points):
        where = f"{what}, control point {index}"
        if not isinstance(point, dict):
            raise _Refusal(f"{where} is not an object")
        if point.get("positionStatus", "defined") in _SKIPPED_STATUS:
            continue
        defined.append((point.get("label", ""), _numbers(point.get("position"), 3, f"{where}: 'position'")))
    return defined


def _read_points(markup: Mapping[str, Any], sign: np.ndarray, what: str, keypoints: dict[str, np.ndarray]) -> None:
    for label, position in _defined_points(markup, what):
        if not isinstance(label, str) or not label:
            raise _Refusal(f"{what} has a control point without a label; keypoints need one")
        if label in keypoints:
            raise _Refusal(f"{what}: the label '{label}' occurs more than once")
        keypoints[label] = position * sign


def _read_plane(markup: Mapping[str, Any], sign: np.ndarray, what: str) -> np.ndarray:
    plane_type = markup.get("planeType", "pointNormal")
    points = [position for _, position in _defined_points(markup, what)]
    if plane_type == "pointNormal":
        if "normal" in markup:
            normal = _numbers(markup["normal"], 3, f"{what}: 'normal'")
        elif "objectToBase" in markup:
            object_to_base = _numbers(markup["objectToBase"], 16, f"{what}: 'objectToBase'").reshape(4, 4)
            base_to_node = np.eye(4)
            if "baseToNode" in markup:
                base_to_node = _numbers(markup["baseToNode"], 16, f"{what}: 'baseToNode'").reshape(4, 4)
            normal = (base_to_node @ object_to_base)[:3, 2]
        else:
            raise _Refusal(f"{what} states no normal")
        if "center" in markup:
            point = _numbers(markup["center"], 3, f"{what}: 'center'")
        elif points:
            point = points[0]
        else:
            raise _Refusal(f"{what} has no defined point")
    elif plane_type == "threePoints":
        if len(points) != 3:
            raise _Refusal(f"{what} of type threePoints has {len(points)} defined points, not 3")
        point = points[0]
        normal = np.cross(points[1] - points[0], points[2] - points[0])
    else:
        raise _Refusal(f"{what} has the plane type '{plane_type}'; pointNormal and threePoints are read")
    if not np.any(normal):
        raise _Refusal(f"{what} has a zero normal")
    return np.array([*(normal * sign), _plane_offset(normal, point)])


def markups_from_document(document: Any) -> Markups:
    """The keypoints and planes (RAS) of a markups JSON document; raises ValueError saying what
    cannot be honoured."""
    try:
        return _markups_from_document(document)
    except _Refusal as refusal:
        raise ValueError(str(refusal)) from None


def _markups_from_document(document: Any) -> Markups:
    if not isinstance(document, dict) or not isinstance(document.get("markups"), list):
        raise _Refusal("not a markups document: no list 'markups'")
    keypoints: dict[str, np.ndarray] = {}
    planes: dict[str, np.ndarray] = {}
    for index, markup in enumerate(document["markups"]):
        if not isinstance(markup, dict):
            raise _Refusal(f"markup {index} is not an object")
        kind = _text(markup, "type", f"markup {index}")
        name = _text(markup, "name", f"markup {index}", "")
        what = f"markup {index} ({kind} '{name}')"
        system = _text(markup, "coordinateSystem", what, "LPS")
        if system not in COORDINATE_SYSTEMS:
            raise _Refusal(f"{what} has the coordinate system '{system}'; RAS and LPS are read")
        units = _text(markup, "coordinateUnits", what, "mm")
        if units != "mm":
            raise _Refusal(f"{what} has the unit '{units}'; mm is read")
        sign = _RAS_LPS if system == "LPS" else np.ones(3)
        if kind == "Fiducial":
            _read_points(markup, sign, what, keypoints)
        elif kind == "Plane":
            if not name:
                raise _Refusal(f"{what} has no name; planes are keyed by it")
            if name in planes:
                raise _Refusal(f"{what}: the plane name '{name}' occurs more than once")
            planes[name] = _read_plane(markup, sign, what)
        else:
            raise _Refusal(f"{what} has the type '{kind}'; Fiducial and Plane are read")
    return Markups(keypoints, planes)


def _file_format_error(path: str, problem: str) -> FileFormatError:
    error = FileFormatError(f"{path}: {problem}")
    error.filename = path
    return error


def read_markups(path: str | os.PathLike[str]) -> Markups:
    """The keypoints and planes of a markups file, in RAS coordinates. A missing file raises
    ``FileNotFoundError``; one that is not JSON or cannot be honoured ``FileFormatError``."""
    path = os.fspath(path)
    with open(path, encoding="utf-8") as file:
        try:
            document = json.load(file)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise _file_format_error(path, f"not a markups file, not JSON: {error}") from None
    try:
        return _markups_from_document(document)
    except _Refusal as refusal:
        raise _file_format_error(path, str(refusal)) from None


def load_markups(structure, path: str | os.PathLike[str]) -> Markups:
    """Read a markups file into a structure: its points become keypoints and its planes planes
    (keys already present are overwritten, others kept). Nothing is stored when the file is
    refused. Returns what was read."""
    markups = read_markups(path)
    keypoints, planes = structure.keypoints2, structure.planes
    for key, point in markups.keypoints.items():
        keypoints[key] = point
    for key, plane in markups.planes.items():
        planes[key] = plane
    return markups


__all__ = ["COORDINATE_SYSTEMS", "Markups", "load_markups", "markups_document", "markups_from_document",
           "read_markups", "write_markups"]
