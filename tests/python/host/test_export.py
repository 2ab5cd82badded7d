import json
import os

import numpy as np
import pytest

import corvaxis
from corvaxis import export

TETRA = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float) * 2.5 + 0.125
TETRA_FACES = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])


def read_back(path):
    trimesh = pytest.importorskip("trimesh")
    loaded = trimesh.load(str(path), process=False, maintain_order=True)
    return np.asarray(loaded.vertices), np.asarray(getattr(loaded, "faces", np.zeros((0, 3))))


@pytest.mark.parametrize("mesh_format, binary, exact", [
    ("ply", True, True),
    ("ply", False, True),
    ("stl", True, False),  # float32 corners, one vertex per corner
    ("obj", True, True),
])
def test_mesh_files_read_back(tmp_path, mesh_format, binary, exact):
    path = tmp_path / f"tetra.{mesh_format}"
    export.write_mesh(path, TETRA, TETRA_FACES, mesh_format, binary=binary)
    vertices, faces = read_back(path)
    if exact:
        assert np.array_equal(vertices, TETRA) and np.array_equal(faces, TETRA_FACES)
    else:
        assert np.allclose(vertices[faces], TETRA[TETRA_FACES], atol=1e-6)


def test_binary_stl_records_and_normals(tmp_path):
    path = tmp_path / "tetra.stl"
    export.write_stl(path, TETRA, TETRA_FACES)
    data = path.read_bytes()
    assert not data.startswith(b"solid") and len(data) == 80 + 4 + 50 * len(TETRA_FACES)
    records = np.frombuffer(data[84:], dtype=[("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("a", "<u2")])
    assert np.allclose(records["normal"][0], [0, 0, -1]) and np.allclose(records["normal"][3], np.ones(3) / np.sqrt(3))


def test_point_ply_has_no_faces(tmp_path):
    path = tmp_path / "points.ply"
    points = np.random.default_rng(1).normal(size=(7, 3))
    export.write_ply(path, points, binary=False)
    text = path.read_text()
    assert "element face" not in text and "element vertex 7" in text
    body = np.loadtxt(text.split("end_header\n")[1].splitlines())
    assert np.array_equal(body, points)  # repr keeps every digit


@pytest.mark.parametrize("faces, message", [
    ([[0, 1, 4]], "faces refer to vertices outside [0, 4)"),
    ([[0, -1, 2]], "faces refer to vertices outside [0, 4)"),
])
def test_faces_outside_the_vertices_are_refused(tmp_path, faces, message):
    for mesh_format in export.MESH_FORMATS:
        with pytest.raises(ValueError, match=message.replace("[", r"\[").replace(")", r"\)")):
            export.write_mesh(tmp_path / f"bad.{mesh_format}", TETRA, faces, mesh_format)


def test_collection_exports_world_values_and_objects_by_their_own_matrix(tmp_path, make_collection, make_structure,
                                                                          translation):
    mesh = corvaxis.Mesh(TETRA, TETRA_FACES)
    mesh.matrix = translation(z=1)
    cloud = corvaxis.PointCloud(TETRA)
    # The structure's frame is what its local values refer to; it is not applied again.
    collection = make_collection(make_structure(
        "liver", meshes={"surface": mesh}, pointclouds={"samples": cloud}, keypoints={"tip": [1.0, 2.0, 3.0]},
        planes={"cut": [0.0, 0.0, 1.0, -4.0]}, matrix=translation(x=10)))
    written = export.export_collection(collection, tmp_path / "out", mesh_format="obj")
    names = [os.path.basename(path) for path in written]
    assert names == ["liver_surface.obj", "liver_samples.ply", "landmarks.json"]
    vertices, faces = read_back(written[0])
    assert np.allclose(vertices, TETRA + [0, 0, 1]) and np.array_equal(faces, TETRA_FACES)
    assert np.array_equal(read_back(written[1])[0], TETRA)
    landmarks = json.loads((tmp_path / "out" / "landmarks.json").read_text())["structures"]
    assert landmarks == [{"identifier": "liver", "matrix_to_world": translation(x=10).tolist(),
                          "keypoints": {"tip": [1.0, 2.0, 3.0]}, "planes": {"cut": [0.0, 0.0, 1.0, -4.0]}}]


def test_landmarks_keep_every_structure_of_a_shared_identifier(tmp_path, make_collection, make_structure):
    collection = make_collection(make_structure("vertebra", keypoints={"tip0": [0.0, 0.0, 1.0]}),
                                 make_structure("vertebra", keypoints={"tip1": [0.0, 0.0, 2.0]}))
    export.export_collection(collection, tmp_path)
    landmarks = json.loads((tmp_path / "landmarks.json").read_text())["structures"]
    assert [(entry["identifier"], entry["keypoints"]) for entry in landmarks] == [
        ("vertebra", {"tip0": [0.0, 0.0, 1.0]}), ("vertebra", {"tip1": [0.0, 0.0, 2.0]})]


@pytest.mark.parametrize("identifiers, expected", [
    (["../escape", "a/b"], ["_escape_m.ply", "a_b_m.ply"]),
    (["same", "SAME"], ["same_m.ply", "SAME_m-2.ply"]),  # one file each on case-blind file systems
    ([".hidden"], ["hidden_m.ply"]),
    (["landmarks"], ["landmarks_m.ply"]),
])
def test_file_names_stay_inside_and_never_collide(tmp_path, make_collection, make_structure, cube_mesh, identifiers,
                                                  expected):
    collection = make_collection(*(make_structure(name, meshes={"m": cube_mesh()}) for name in identifiers))
    written = export.export_collection(collection, tmp_path / "out")
    assert [os.path.basename(path) for path in written[:-1]] == expected
    assert all(os.path.dirname(path) == str(tmp_path / "out") for path in written)
    assert sorted(os.listdir(tmp_path)) == ["out"]


def test_unknown_format_writes_nothing(tmp_path, make_collection):
    with pytest.raises(ValueError, match="unknown mesh format 'vtk', expected one of ply, stl, obj"):
        export.export_collection(make_collection(), tmp_path / "out", mesh_format="vtk")
    assert not (tmp_path / "out").exists()
