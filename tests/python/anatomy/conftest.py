"""Shared factories of the anatomy tests: transformations, collection pairs for registration,
plain snapshots of a collection's content, surfaces and blob images to register, and label images."""

import os
import types

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy


def similarity(degrees=0.0, axis=(0.0, 0.0, 1.0), translation=(0.0, 0.0, 0.0), scale=1.0):
    """4x4 matrix: rotation by degrees about axis, uniform scale, then translation."""
    axis = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    angle = np.radians(degrees)
    cross = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    rotation = np.eye(3) + np.sin(angle) * cross + (1 - np.cos(angle)) * cross @ cross
    matrix = np.eye(4)
    matrix[:3, :3] = scale * rotation
    matrix[:3, 3] = translation
    return matrix


def move_points(matrix, points):
    points = np.asarray(points, dtype=float)
    return points @ matrix[:3, :3].T + matrix[:3, 3]


def move_plane(matrix, plane):
    """A plane n.x + d = 0 after moving space by matrix, normalised."""
    moved = np.linalg.inv(matrix).T @ np.asarray(plane, dtype=float)
    return moved / np.linalg.norm(moved[:3])


def build_collection(structures):
    """A GenericASC from {identifier: {"keypoints": {...}, "planes": {...}}} (world values)."""
    collection = anatomy.GenericASC()
    for identifier, stores in structures.items():
        structure = anatomy.GenericAnatomicalStructure(identifier)
        structure.keypoints2 = stores.get("keypoints", {})
        structure.planes = stores.get("planes", {})
        collection.add(structure)
    return collection


def registration_pair(truth, points=None, planes=None, rng=None, noise=0.0):
    """Fixed and moving collections whose correspondences are related by truth (moving to fixed):
    points and planes are given in the moving world, split over two structures."""
    rng = rng or np.random.default_rng(1)
    points = {} if points is None else points
    planes = {} if planes is None else planes
    moving, fixed = {}, {}
    for index, (key, point) in enumerate(points.items()):
        identifier = ("liver", "kidney")[index % 2]
        moving.setdefault(identifier, {"keypoints": {}, "planes": {}})["keypoints"][key] = np.asarray(point, float)
        target = move_points(truth, point) + rng.normal(scale=noise, size=3) if noise else move_points(truth, point)
        fixed.setdefault(identifier, {"keypoints": {}, "planes": {}})["keypoints"][key] = target
    for key, plane in planes.items():
        moving.setdefault("liver", {"keypoints": {}, "planes": {}})["planes"][key] = np.asarray(plane, float)
        fixed.setdefault("liver", {"keypoints": {}, "planes": {}})["planes"][key] = move_plane(truth, plane)
    return build_collection(fixed), build_collection(moving)


def snapshot(collection):
    """Everything registration may touch, as (label, array) pairs in a fixed order."""
    values = []
    for index in range(collection.num_anatomical_structures()):
        structure = collection.anatomical_structure(index)
        name = structure.identifier
        values.append((f"{name} matrix_to_world", structure.matrix_to_world))
        for store in ("keypoints2", "planes"):
            for key, value in getattr(structure, store).asdict().items():
                values.append((f"{name} {store} {key}", value))
        for store in ("images", "meshes", "pointclouds", "graphs"):
            for key, value in getattr(structure, store).asdict().items():
                values.append((f"{name} {store} {key} matrix", value.matrix))
                if store == "meshes":
                    values += [(f"{name} meshes {key} vertices", value.vertices), (f"{name} meshes {key} faces", value.faces)]
                if store == "images":
                    values.append((f"{name} images {key} pixels", value.get()))
    return values


def assert_same_snapshot(before, after):
    assert [label for label, _ in before] == [label for label, _ in after]
    for (label, old), (_, new) in zip(before, after):
        np.testing.assert_array_equal(new, old, err_msg=label)


def icosphere(levels):
    """Unit sphere: an icosahedron with every face split in four `levels` times; faces wind outward."""
    t = (1 + 5**0.5) / 2
    vertices = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t),
                (0, -1, -t), (0, 1, -t), (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    vertices = [np.array(v) / np.linalg.norm(v) for v in vertices]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6),
             (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10),
             (8, 6, 7), (9, 8, 1)]
    for _ in range(levels):
        middles = {}

        def middle(a, b):
            key = (min(a, b), max(a, b))
            if key not in middles:
                vertices.append((vertices[a] + vertices[b]) / np.linalg.norm(vertices[a] + vertices[b]))
                middles[key] = len(vertices) - 1
            return middles[key]

        split = []
        for a, b, c in faces:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            split += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = split
    return np.array(vertices), np.array(faces)


def latitude_sphere(rings, segments):
    """Unit sphere by latitude rings and longitude segments, sharing no layout with the icosphere;
    faces wind outward."""
    theta = np.pi * np.arange(1, rings)[:, None] / rings
    phi = 2 * np.pi * np.arange(segments)[None, :] / segments
    ring_points = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta) + 0 * phi], axis=-1)
    vertices = np.vstack([[0, 0, 1], ring_points.reshape(-1, 3), [0, 0, -1]])
    south = len(vertices) - 1

    def at(r, k):
        return 1 + (r - 1) * segments + k % segments

    faces = []
    for k in range(segments):
        faces += [(0, at(1, k), at(1, k + 1)), (south, at(rings - 1, k + 1), at(rings - 1, k))]
        for r in range(1, rings - 1):
            faces += [(at(r, k), at(r + 1, k), at(r + 1, k + 1)), (at(r, k), at(r + 1, k + 1), at(r, k + 1))]
    return vertices, np.array(faces)


def mesh_in_frame(world_vertices, faces, matrix=np.eye(4)):
    """A Mesh whose matrix is `matrix` and whose vertices lie at world_vertices in the world."""
    mesh = corvaxis.Mesh(move_points(np.linalg.inv(matrix), world_vertices), faces)
    mesh.matrix = matrix
    return mesh


def world_vertices(mesh):
    return move_points(mesh.matrix, mesh.vertices)


BLOBS = [  # centre (mm), width (mm), height: smooth, asymmetric content around the origin
    ((-14, -8, 4), 9.0, 1.0), ((16, 6, -6), 7.0, 0.7), ((2, 18, 10), 6.0, 0.45),
    ((-6, 10, -16), 8.0, 0.85), ((10, -16, 14), 5.0, 0.6), ((-20, 14, 18), 4.0, 0.35),
]


def blob_image(size, voxel_to_world, motion=np.eye(4), remap=None):
    """A float32 SharedImageSet of size^3 voxels placed by voxel_to_world, showing the blobs moved by
    motion (moving world to fixed world is then inverse(motion)), intensities through remap."""
    z, y, x = np.indices((size, size, size))
    voxels = np.stack([x, y, z], axis=-1).reshape(-1, 3)
    content = move_points(np.linalg.inv(motion) @ voxel_to_world, voxels)
    values = sum(h * np.exp(-((content - c) ** 2).sum(axis=1) / (2 * w * w)) for c, w, h in BLOBS)
    values = remap(values) if remap else values
    images = corvaxis.SharedImageSet(values.reshape(size, size, size).astype(np.float32))
    images.voxel_to_world = voxel_to_world
    return images


def one_structure_pair(fixed_stores, moving_stores, moving_frame=np.eye(4)):
    """Fixed and moving GenericASCs, each with a structure "organ" holding {store: {key: value}}."""
    collections = []
    for stores, frame in ((fixed_stores, np.eye(4)), (moving_stores, moving_frame)):
        organ = anatomy.GenericAnatomicalStructure("organ")
        organ.matrix_to_world = frame
        for store, values in stores.items():
            for key, value in values.items():
                getattr(organ, store)[key] = value
        collection = anatomy.GenericASC()
        collection.add(organ)
        collections.append(collection)
    return tuple(collections)


def small_mesh_pair(fixed_surface=None):
    """Quick deformable case: a sphere of 42 vertices (and keypoints) onto a larger, shifted one, or onto
    fixed_surface (world vertices, faces)."""
    unit, faces = icosphere(1)
    fixed_vertices, fixed_faces = fixed_surface or (unit * 22 + (2, 1, 0), faces)
    keys = {f"k{i}": unit[i] * 20 for i in (0, 5, 11)}
    return one_structure_pair({"meshes": {"surface": mesh_in_frame(fixed_vertices, fixed_faces)}},
                              {"meshes": {"surface": mesh_in_frame(unit * 20, faces)}, "keypoints2": keys},
                              similarity(10, (0, 0, 1), (1, 0, 0)))


def flat_square(cells, size=40.0):
    """A flat square mesh of cells x cells quads in the plane z = 0: world vertices and faces."""
    ticks = np.linspace(-size / 2, size / 2, cells + 1)
    x, y = np.meshgrid(ticks, ticks)
    vertices = np.stack([x.ravel(), y.ravel(), np.zeros(x.size)], axis=1)
    at = lambda i, j: i * (cells + 1) + j  # noqa: E731
    faces = [f for i in range(cells) for j in range(cells)
             for f in ((at(i, j), at(i, j + 1), at(i + 1, j + 1)), (at(i, j), at(i + 1, j + 1), at(i + 1, j)))]
    return vertices, np.array(faces)


def small_image_pair(size=16, fixed_fill=None):
    """Quick image case: blob images of size^3 voxels, the moving one turned by 5 degrees; fixed_fill
    replaces every fixed voxel by that value (a constant, NaN or an infinity: an image without content)."""
    grid = np.diag([3.0, 3.0, 3.0, 1.0])
    grid[:3, 3] = -1.5 * (size - 1)
    fixed = blob_image(size, grid)
    if fixed_fill is not None:
        fixed = corvaxis.SharedImageSet(np.full((size, size, size), fixed_fill, dtype=np.float32))
        fixed.voxel_to_world = grid
    moving = blob_image(size, grid, similarity(5, (0, 0, 1), (1, 0, 0)))
    return one_structure_pair({"images": {"scan": fixed}}, {"images": {"scan": moving}, "keypoints2": {"nose": [1, 2, 3]}})


def rotation_error_degrees(found, expected):
    relative = found[:3, :3] @ expected[:3, :3].T
    return np.degrees(np.arccos(np.clip((np.trace(relative) - 1) / 2, -1, 1)))


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture
def registration_kit():
    """The helpers above, for tests that build registrations."""
    helpers = (similarity, move_points, move_plane, build_collection, registration_pair, snapshot, assert_same_snapshot,
               icosphere, latitude_sphere, mesh_in_frame, world_vertices, blob_image, rotation_error_degrees,
               one_structure_pair, small_mesh_pair, flat_square, small_image_pair)
    return types.SimpleNamespace(**{helper.__name__: helper for helper in helpers})




def paint_ellipsoids(shape, ellipsoids, dtype=np.uint8):
    """A (D, H, W) label array with ellipsoids ((x, y, z) centre, (x, y, z) semi-axes, label) painted in."""
    volume = np.zeros(shape, dtype=dtype)
    z, y, x = np.indices(shape)
    for centre, semi_axes, label in ellipsoids:
        inside = sum(((axis - c) / r) ** 2 for axis, c, r in zip((x, y, z), centre, semi_axes)) <= 1.0
        volume[inside] = label
    return volume


@pytest.fixture
def paint():
    return paint_ellipsoids


@pytest.fixture
def label_image():
    """label_image(ellipsoids, shape=(24, 28, 32), spacing=(1, 1, 1), dtype=uint8) -> a label SharedImageSet."""

    def make(ellipsoids, shape=(24, 28, 32), spacing=(1.0, 1.0, 1.0), dtype=np.uint8):
        return corvaxis.SharedImageSet(
            paint_ellipsoids(shape, ellipsoids, dtype), spacing=spacing, modality=corvaxis.Modality.LABEL
        )

    return make


def build_label_map_surfaces(image, names, **parameters):
    """The structures GenericASCFromMultiLabelMap builds with the given p_ parameters, as
    {name: (vertices, faces, mesh attributes)}."""
    algorithm = anatomy.GenericASCFromMultiLabelMap(image, names)
    for name, value in parameters.items():
        setattr(algorithm, f"p_{name}", value)
    asc = algorithm()
    result = {}
    for name in asc.anatomical_structure_identifiers():
        structure = asc.anatomical_structure(name)
        mesh = structure.meshes["surface"]
        result[name] = (np.asarray(mesh.vertices), np.asarray(mesh.faces), structure.meshes.attributes["surface"])
    return result


@pytest.fixture
def label_map_surfaces():
    """label_map_surfaces(image, names, **p_parameters) -> {name: (vertices, faces, mesh attributes)}."""
    return build_label_map_surfaces


@pytest.fixture
def organs():
    """Three labels: a large liver, a kidney in two pieces (labels 2 and 4) and a spleen at the border."""
    return [
        ((10.0, 12.0, 10.0), (7.0, 6.0, 5.0), 1),
        ((24.0, 8.0, 12.0), (3.0, 3.0, 4.0), 2),
        ((24.0, 20.0, 12.0), (3.0, 3.0, 4.0), 4),
        ((31.0, 14.0, 20.0), (4.0, 5.0, 4.0), 3),
    ]


@pytest.fixture
def long_checks():
    """Whether the reliability checks (memory flatness, random sequences) take their long runs:
    CORVAXIS_LONG_CHECKS=1 in the environment."""
    return os.environ.get("CORVAXIS_LONG_CHECKS") == "1"


def store_value(store, seed):
    """A small value for one of the six stores of a structure; seed varies it."""
    points = np.random.default_rng(seed).normal(size=(4, 3))
    if store == "keypoints2":
        return points[0]
    if store == "planes":
        return np.array([0.0, 0.0, 1.0, float(seed)])
    if store == "images":
        return corvaxis.SharedImageSet(np.full((2, 3, 4), seed % 200, dtype=np.uint8))
    if store == "meshes":
        return corvaxis.Mesh(points, np.array([[0, 1, 2], [0, 2, 3]]))
    if store == "pointclouds":
        return corvaxis.PointCloud(points)
    if store == "graphs":
        return corvaxis.Graph(points, np.array([[0, 1], [2, 3]]), directed=bool(seed % 2))
    raise ValueError(store)


STORES = ("keypoints2", "planes", "images", "meshes", "pointclouds", "graphs")


@pytest.fixture
def store_values():
    """store_values(seed): {store name: a value for it}, for the six stores."""
    return lambda seed: {store: store_value(store, seed) for store in STORES}
