import copy

import numpy as np
import pytest

import corvaxis
from corvaxis import Graph, Mesh, PointCloud

CUBE_CORNERS = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], dtype=float)
TETRA = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float)
TETRA_FACES = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]


def test_mesh_holds_copies_and_hands_out_copies():
    vertices = TETRA.copy()
    faces = np.array(TETRA_FACES, dtype=np.uint16)
    mesh = Mesh(vertices, faces)
    vertices[0, 0] = 42
    faces[0, 0] = 3
    returned = mesh.vertices
    returned[1, 1] = 42
    assert mesh.vertices.tolist() == TETRA.tolist()
    assert mesh.vertices is not mesh.vertices
    assert mesh.faces.dtype == np.int64 and mesh.faces.tolist() == TETRA_FACES
    assert (mesh.num_vertices, mesh.num_faces, mesh.normals) == (4, 4, None)
    assert repr(mesh) == "<Mesh, vertices=4, faces=4>"


def test_mesh_normals():
    mesh = Mesh(TETRA, TETRA_FACES)
    mesh.compute_normals()
    assert np.allclose(mesh.normals[0], -np.ones(3) / np.sqrt(3))
    mesh.normals = None
    assert mesh.normals is None
    with pytest.raises(ValueError) as error:
        mesh.normals = np.zeros((3, 3))
    assert str(error.value) == "a mesh needs exactly one normal per vertex"


@pytest.mark.parametrize(
    "vertices, faces, error_type, message",
    [
        (np.zeros((4, 2)), [[0, 1, 2]], ValueError, "vertices must have shape (N, 3), got (4, 2)"),
        (np.zeros(3), [[0, 1, 2]], ValueError, "vertices must have shape (N, 3), got (3,)"),
        ([[0, 0, 0], [1, 1]], [[0, 1, 2]], ValueError, None),
        (np.array([["a", "b", "c"]]), [[0, 0, 0]], TypeError,
         "vertices must be a (N, 3) array of numbers, got dtype <U1"),
        ([[0, 0, np.nan], [1, 1, 1], [2, 2, 2]], [[0, 1, 2]], ValueError, "vertices must be finite, found NaN in row 0"),
        (TETRA, np.array([[0, 1, 2.0]]), TypeError, "faces must be a (M, 3) array of integers, got dtype float64"),
        (TETRA, [[0, 1]], ValueError, "faces must have shape (M, 3), got (1, 2)"),
        (TETRA, [[0, 1, 4]], ValueError, "mesh faces refer to vertices outside [0, 4)"),
        # 2**32 + 1 would be 1 after a silent narrowing to int32.
        (TETRA, [[0, 1, 2**32 + 1]], ValueError, "faces must hold indices in [0, 2147483647], got 4294967297"),
        (TETRA, np.array([[0, 1, 2**63]], dtype=np.uint64), ValueError,
         "faces must hold indices in [0, 2147483647], got 9223372036854775808"),
        (TETRA, [[0, -1, 2]], ValueError, "faces must hold indices in [0, 2147483647], got -1"),
    ],
)
def test_mesh_rejects_bad_arrays(vertices, faces, error_type, message):
    with pytest.raises(error_type) as error:
        Mesh(vertices, faces)
    if message is None:
        assert str(error.value).startswith("vertices must be an array of shape (N, 3): ")
    else:
        assert str(error.value) == message


def test_copies_are_deep_and_keep_the_most_derived_type():
    mesh = Mesh(TETRA, TETRA_FACES)
    mesh.name = "tetra"
    mesh.components.add(corvaxis.LabelDataComponent())
    for duplicate in (Mesh(mesh), copy.copy(mesh), copy.deepcopy(mesh)):
        assert type(duplicate) is Mesh and duplicate.name == "tetra" and len(duplicate.components) == 1
        duplicate.set_geometry(CUBE_CORNERS, [[0, 1, 2]])
    assert mesh.num_vertices == 4 and repr(mesh) == "<Mesh, vertices=4, faces=4, name='tetra'>"


def test_matrix_is_copied_and_checked():
    cloud = PointCloud(CUBE_CORNERS)
    assert np.array_equal(cloud.matrix, np.eye(4)) and cloud.matrix.dtype == np.float64
    transform = [[1, 0, 0, 5], [0, 1, 0, 6], [0, 0, 1, 7], [0, 0, 0, 1]]
    cloud.matrix = transform
    cloud.matrix[0, 3] = 100
    assert cloud.matrix[:3, 3].tolist() == [5, 6, 7]
    with pytest.raises(ValueError) as error:
        cloud.matrix = np.eye(3)
    assert str(error.value) == "matrix must have shape (4, 4), got (3, 3)"
    with pytest.raises(ValueError) as error:
        cloud.matrix = np.full((4, 4), np.inf)
    assert str(error.value) == "matrix must be finite, found infinity in row 0"


def test_point_cloud():
    normals = np.tile([0.0, 0.0, 1.0], (8, 1))
    cloud = PointCloud(CUBE_CORNERS, normals)
    assert cloud.num_points == 8 and np.array_equal(cloud.normals, normals)
    assert repr(cloud) == "<PointCloud, points=8, normals=True>"
    cloud.set_points(TETRA)
    assert cloud.normals is None and PointCloud(cloud).points.tolist() == TETRA.tolist()
    with pytest.raises(ValueError) as error:
        PointCloud(TETRA, normals)
    assert str(error.value) == "a point cloud needs exactly one normal per point"
    with pytest.raises(ValueError) as error:
        PointCloud(TETRA, np.zeros((4, 4)))
    assert str(error.value) == "normals must have shape (N, 3), got (4, 4)"


def test_graph_structure_and_features():
    graph = Graph(TETRA, [[0, 1], [1, 2], [2, 3]], directed=True)
    assert corvaxis.Graph is corvaxis.graph.Graph and isinstance(graph, corvaxis.Data)
    assert (graph.num_nodes, graph.num_edges, graph.directed) == (4, 3, True)
    assert graph.edges.tolist() == [[0, 1], [1, 2], [2, 3]] and graph.nodes.tolist() == TETRA.tolist()

    weights = np.array([1.0, 2.0, 3.0])
    graph.set_edge_feature("weight", weights)
    graph.set_node_feature("rgb", np.zeros((4, 3)))
    weights[0] = 42
    graph.edge_features["weight"][1] = 42
    assert graph.edge_features["weight"].tolist() == [[1], [2], [3]]
    assert list(graph.node_features) == ["rgb"] and graph.node_features["rgb"].shape == (4, 3)

    with pytest.raises(ValueError) as error:
        graph.set_node_feature("bad", np.zeros(3))
    assert str(error.value) == "node feature 'bad' needs one row per node"
    with pytest.raises(ValueError) as error:
        graph.set_node_feature("bad", np.zeros((4, 2, 1)))
    assert str(error.value) == "values must have shape (N,) or (N, K), got (4, 2, 1)"

    duplicate = Graph(graph)
    graph.remove_edge_feature("weight")
    with pytest.raises(KeyError):
        graph.remove_edge_feature("weight")
    assert "weight" in duplicate.edge_features
    assert repr(graph) == "<Graph, nodes=4, edges=3, directed=True>"


def test_graph_rejects_bad_arrays():
    with pytest.raises(ValueError) as error:
        Graph(TETRA, [[0, 4]])
    assert str(error.value) == "graph edges refer to nodes outside [0, 4)"
    with pytest.raises(ValueError) as error:
        Graph([[0, 0, np.inf]], np.zeros((0, 2), dtype=int))
    assert str(error.value) == "nodes must be finite, found infinity in row 0"
    with pytest.raises(ValueError) as error:
        Graph(TETRA, [0, 1])
    assert str(error.value) == "edges must have shape (M, 2), got (2,)"
    assert Graph(np.zeros((0, 3)), np.zeros((0, 2), dtype=int)).num_nodes == 0
