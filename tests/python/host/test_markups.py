"""3D Slicer markups files: exact round trips in both coordinate systems, files as Slicer writes
them, and refusal of what cannot be honoured."""

import copy
import json

import numpy as np
import pytest

import corvaxis
from corvaxis import markups

RNG = np.random.default_rng(16)
KEYPOINTS = {"tip": RNG.normal(size=3) * 100, "Corvaxis.Liver.Dome": RNG.normal(size=3), "zero": np.zeros(3)}
PLANES = {"cut": np.array([0.3, -0.8, 0.52, 17.123456789]), "axial": np.array([0.0, 0.0, 2.0, -3.0]),
          "oblique": np.append(RNG.normal(size=3), RNG.normal() * 1e3)}


def slicer_document(**changes):
    """A point list and a plane as 3D Slicer writes them (LPS), with top-level markup changes."""
    points = {
        "type": "Fiducial", "name": "F", "coordinateSystem": "LPS", "coordinateUnits": "mm",
        "controlPoints": [
            {"id": "1", "label": "F-1", "position": [1.0, 2.0, 3.0], "positionStatus": "defined"},
            {"id": "2", "label": "F-2", "position": [0.0, 0.0, 0.0], "positionStatus": "missing"},
        ],
    }
    plane = {
        "type": "Plane", "name": "P", "coordinateSystem": "LPS", "coordinateUnits": "mm", "planeType": "pointNormal",
        "controlPoints": [{"id": "1", "label": "P", "position": [0.0, 0.0, 5.0]}],
        "objectToBase": [1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1],
    }
    points.update(changes)
    return {"markups": [points, plane]}


def write_document(path, document):
    path.write_text(json.dumps(document), encoding="utf-8")
    return path


@pytest.mark.parametrize("coordinate_system", markups.COORDINATE_SYSTEMS)
def test_keypoints_and_planes_round_trip_exactly(coordinate_system, make_structure, tmp_path):
    structure = make_structure("liver", keypoints=KEYPOINTS, planes=PLANES)
    path = tmp_path / "liver.mrk.json"
    markups.write_markups(structure, path, coordinate_system=coordinate_system)
    read = markups.read_markups(path)
    assert list(read.keypoints) == sorted(KEYPOINTS) and sorted(read.planes) == sorted(PLANES)
    for stored, values in ((read.keypoints, KEYPOINTS), (read.planes, PLANES)):
        for key, value in values.items():
            assert stored[key].dtype == np.float64
            np.testing.assert_array_equal(stored[key], value, err_msg=key)
    document = json.loads(path.read_text())
    point_list, plane = document["markups"][0], document["markups"][1]
    assert point_list["type"] == "Fiducial" and point_list["name"] == "liver"
    assert point_list["coordinateSystem"] == coordinate_system
    sign = [-1.0, -1.0, 1.0] if coordinate_system == "LPS" else [1.0, 1.0, 1.0]
    first = point_list["controlPoints"][0]
    np.testing.assert_array_equal(first["position"], KEYPOINTS[first["label"]] * sign)
    # The plane's point lies on the plane, its normal is the plane's, as Slicer reads them.
    centre, normal = np.array(plane["center"]) * sign, np.array(plane["normal"]) * sign
    coefficients = PLANES[plane["name"]]
    np.testing.assert_allclose(centre @ coefficients[:3] + coefficients[3], 0.0, atol=1e-12)
    np.testing.assert_allclose(normal, coefficients[:3])
    np.testing.assert_allclose(np.reshape(plane["objectToBase"], (4, 4))[:3, 2], normal / np.linalg.norm(normal))


def test_a_file_as_slicer_writes_it(tmp_path):
    read = markups.read_markups(write_document(tmp_path / "slicer.mrk.json", slicer_document()))
    # LPS to RAS; the missing point is skipped; the plane's normal from its orientation (+y in
    # LPS, posterior, is -y in RAS).
    assert list(read.keypoints) == ["F-1"]
    np.testing.assert_array_equal(read.keypoints["F-1"], [-1.0, -2.0, 3.0])
    np.testing.assert_array_equal(read.planes["P"], [0.0, -1.0, 0.0, 0.0])
    three_points = slicer_document()
    three_points["markups"][1].update(planeType="threePoints", coordinateSystem="RAS", controlPoints=[
        {"position": [0.0, 0.0, 2.0]}, {"position": [1.0, 0.0, 2.0]}, {"position": [0.0, 1.0, 2.0]}])
    read = markups.read_markups(write_document(tmp_path / "three.mrk.json", three_points))
    np.testing.assert_array_equal(read.planes["P"], [0.0, 0.0, 1.0, -2.0])


def plane_change(**changes):
    def change(document):
        document["markups"][1].update(changes)
    return change


def point_change(**changes):
    def change(document):
        document["markups"][0]["controlPoints"][0].update(changes)
    return change


@pytest.mark.parametrize("change, message", [
    (lambda document: document.clear(), "no list 'markups'"),
    (lambda document: document["markups"].append("text"), "markup 2 is not an object"),
    (lambda document: document["markups"][0].update(type="Line"), "type 'Line'; Fiducial and Plane are read"),
    (lambda document: document["markups"][0].update(coordinateSystem="IJK"), "coordinate system 'IJK'"),
    (lambda document: document["markups"][0].update(coordinateUnits="um"), "unit 'um'"),
    (point_change(label=""), "without a label"),
    (point_change(position=[1.0, 2.0]), "'position' must be a list of 3 numbers"),
    (point_change(position=[1.0, True, 2.0]), "3 numbers"),
    (point_change(position=[1.0, float("nan"), 2.0]), "finite"),
    (lambda document: document["markups"][0]["controlPoints"].append(
        {"label": "F-1", "position": [0, 0, 0]}), "label 'F-1' occurs more than once"),
    (plane_change(name=""), "no name"),
    (plane_change(planeType="planeFit"), "plane type 'planeFit'"),
    (plane_change(objectToBase=[0.0] * 16), "zero normal"),
    (plane_change(objectToBase=[1.0] * 15), "'objectToBase' must be a list of 16 numbers"),
    (lambda document: document["markups"][1].pop("objectToBase"), "states no normal"),
    (plane_change(controlPoints=[]), "no defined point"),
    (plane_change(planeType="threePoints"), "has 1 defined points, not 3"),
    (lambda document: document["markups"].append(copy.deepcopy(document["markups"][1])), "name 'P' occurs more"),
])
def test_files_that_cannot_be_honoured_are_refused(change, message, tmp_path, make_structure):
    document = slicer_document()
    change(document)
    path = write_document(tmp_path / "bad.mrk.json", document)
    with pytest.raises(corvaxis.FileFormatError, match=message) as refusal:
        markups.read_markups(path)
    assert str(refusal.value).startswith(str(path)) and refusal.value.filename == str(path)
    structure = make_structure("liver", keypoints={"F-1": [9.0, 9.0, 9.0]})
    with pytest.raises(corvaxis.FileFormatError):
        markups.load_markups(structure, path)
    assert sorted(structure.keypoints2.keys()) == ["F-1"] and not structure.planes.keys()


def test_files_that_are_not_markups(tmp_path):
    (tmp_path / "text.mrk.json").write_text("{not json", encoding="utf-8")
    with pytest.raises(corvaxis.FileFormatError, match="not JSON"):
        markups.read_markups(tmp_path / "text.mrk.json")
    with pytest.raises(FileNotFoundError):
        markups.read_markups(tmp_path / "absent.mrk.json")
    with pytest.raises(ValueError, match="no list 'markups'"):
        markups.markups_from_document([])


def test_load_markups_adds_and_overwrites(make_structure, tmp_path):
    path = write_document(tmp_path / "slicer.mrk.json", slicer_document())
    structure = make_structure("liver", keypoints={"F-1": [9.0, 9.0, 9.0], "kept": [1.0, 1.0, 1.0]})
    markups.load_markups(structure, path)
    np.testing.assert_array_equal(structure.keypoints2["F-1"], [-1.0, -2.0, 3.0])
    np.testing.assert_array_equal(structure.keypoints2["kept"], [1.0, 1.0, 1.0])
    np.testing.assert_array_equal(structure.planes["P"], [0.0, -1.0, 0.0, 0.0])


@pytest.mark.parametrize("keypoints, planes, arguments, message", [
    ({"far": [np.inf, 0.0, 0.0]}, {}, {}, "keypoint 'far' is not finite"),
    ({}, {"flat": [0.0, 0.0, 0.0, 1.0]}, {}, "plane 'flat' has no normal"),
    ({}, {}, {"coordinate_system": "IJK"}, "'RAS' or 'LPS'"),
])
def test_writing_what_a_file_cannot_hold_is_refused_and_leaves_the_file(keypoints, planes, arguments, message,
                                                                         make_structure, tmp_path):
    path = tmp_path / "liver.mrk.json"
    path.write_text("earlier", encoding="utf-8")
    structure = make_structure("liver", keypoints=keypoints, planes=planes)
    with pytest.raises(ValueError, match=message):
        markups.write_markups(structure, path, **arguments)
    assert path.read_text(encoding="utf-8") == "earlier" and [p.name for p in tmp_path.iterdir()] == [path.name]
