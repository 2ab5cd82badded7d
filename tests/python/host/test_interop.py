"""Conversions to and from trimesh, PyVista, nibabel and NumPy: exact round trips, refusals, and
the message when a library is missing."""

import sys

import numpy as np
import pytest

import corvaxis
from corvaxis import interop

MESH_LIBRARIES = {
    "trimesh": (interop.mesh_to_trimesh, interop.mesh_from_trimesh),
    "pyvista": (interop.mesh_to_pyvista, interop.mesh_from_pyvista),
}
CLOUD_LIBRARIES = {
    "trimesh": (interop.point_cloud_to_trimesh, interop.point_cloud_from_trimesh),
    "pyvista": (interop.point_cloud_to_pyvista, interop.point_cloud_from_pyvista),
}


def assert_same_arrays(actual, expected, dtype):
    assert actual.dtype == dtype and actual.shape == expected.shape
    np.testing.assert_array_equal(actual, expected)


@pytest.mark.parametrize("library", MESH_LIBRARIES)
@pytest.mark.parametrize("with_normals", [True, False])
def test_mesh_round_trip_keeps_values_normals_and_matrix(library, with_normals, shaped_mesh):
    pytest.importorskip(library)
    to_foreign, from_foreign = MESH_LIBRARIES[library]
    if not with_normals:
        shaped_mesh = corvaxis.Mesh(shaped_mesh.vertices, shaped_mesh.faces)
        shaped_mesh.matrix = np.diag([1.0, 2.0, 3.0, 1.0])
    back = from_foreign(to_foreign(shaped_mesh))
    assert_same_arrays(back.vertices, shaped_mesh.vertices, np.float64)
    assert_same_arrays(back.faces, shaped_mesh.faces, np.int64)
    assert_same_arrays(back.matrix, shaped_mesh.matrix, np.float64)
    if with_normals:
        assert_same_arrays(back.normals, shaped_mesh.normals, np.float64)
    else:
        assert back.normals is None


@pytest.mark.parametrize("library", MESH_LIBRARIES)
def test_world_coordinates_apply_the_matrix(library, shaped_mesh):
    pytest.importorskip(library)
    to_foreign, from_foreign = MESH_LIBRARIES[library]
    back = from_foreign(to_foreign(shaped_mesh, world=True))
    matrix = shaped_mesh.matrix
    np.testing.assert_allclose(back.vertices, shaped_mesh.vertices @ matrix[:3, :3].T + matrix[:3, 3], atol=1e-12)
    np.testing.assert_array_equal(back.matrix, np.eye(4))
    # The cube's normals point away from its centre, in the world as well.
    centre = back.vertices.mean(axis=0)
    assert np.all(np.einsum("ij,ij->i", back.normals, back.vertices - centre) > 0)
    np.testing.assert_allclose(np.linalg.norm(back.normals, axis=1), 1.0)


@pytest.mark.parametrize("library", CLOUD_LIBRARIES)
@pytest.mark.parametrize("with_normals", [True, False])
def test_point_cloud_round_trip(library, with_normals, awkward_affine):
    pytest.importorskip(library)
    to_foreign, from_foreign = CLOUD_LIBRARIES[library]
    rng = np.random.default_rng(4)
    points = rng.normal(size=(30, 3)) * 1e3
    normals = rng.normal(size=(30, 3)) if with_normals else None
    cloud = corvaxis.PointCloud(points, normals)
    cloud.matrix = awkward_affine(2)
    back = from_foreign(to_foreign(cloud))
    assert_same_arrays(back.points, points, np.float64)
    assert_same_arrays(back.matrix, cloud.matrix, np.float64)
    if with_normals:
        assert_same_arrays(back.normals, normals, np.float64)
    else:
        assert back.normals is None


def test_meshes_made_by_the_foreign_library(cube_mesh):
    """Meshes made elsewhere: trimesh's normals only when it holds them, PyVista's float32 points."""
    trimesh = pytest.importorskip("trimesh")
    pyvista = pytest.importorskip("pyvista")
    box = trimesh.creation.box()
    assert interop.mesh_from_trimesh(box).normals is None
    box.vertex_normals  # computed now, so they come along
    np.testing.assert_array_equal(interop.mesh_from_trimesh(box).normals, box.vertex_normals)
    sphere = pyvista.Sphere(theta_resolution=8, phi_resolution=6).compute_normals()
    sphere.points = sphere.points.astype(np.float32)
    mesh = interop.mesh_from_pyvista(sphere)
    assert mesh.vertices.dtype == np.float64 and mesh.num_faces == sphere.n_cells
    np.testing.assert_array_equal(mesh.normals, sphere.point_data["Normals"])
    np.testing.assert_array_equal(mesh.matrix, np.eye(4))


def quads():
    import pyvista
    return pyvista.Plane(i_resolution=2, j_resolution=2)


def lines():
    import pyvista
    return pyvista.Line()


@pytest.mark.parametrize("make, error, message", [
    (quads, ValueError, "triangulate"),
    (lines, ValueError, "1 lines"),
    (lambda: "a mesh", TypeError, "expects a pyvista.PolyData"),
])
def test_pyvista_data_that_is_not_a_triangle_mesh_is_refused(make, error, message):
    pytest.importorskip("pyvista")
    with pytest.raises(error, match=message):
        interop.mesh_from_pyvista(make())


def test_a_foreign_matrix_that_is_not_4x4_is_refused(shaped_mesh):
    trimesh = pytest.importorskip("trimesh")
    converted = interop.mesh_to_trimesh(shaped_mesh)
    converted.metadata["matrix"] = np.eye(3)
    with pytest.raises(ValueError, match="4x4"):
        interop.mesh_from_trimesh(converted)
    with pytest.raises(TypeError, match="trimesh.Trimesh"):
        interop.mesh_from_trimesh(trimesh.PointCloud(np.zeros((2, 3))))


# --- images ------------------------------------------------------------------------------------

def label_set(shape=(5, 6, 7), images=1, seed=0):
    rng = np.random.default_rng(seed)
    arrays = [rng.integers(0, 4, size=shape).astype(np.uint8) for _ in range(images)]
    return corvaxis.SharedImageSet(arrays, modality=corvaxis.Modality.LABEL)


@pytest.mark.parametrize("seed", range(6))
def test_voxel_to_world_is_kept_exactly(seed, awkward_affine):
    images = label_set()
    affine = awkward_affine(seed)
    images.voxel_to_world = affine
    assert_same_arrays(images.voxel_to_world, affine, np.float64)
    assert_same_arrays(images.clone().voxel_to_world, affine, np.float64)
    np.testing.assert_allclose(images.spacing, np.linalg.norm(affine[:3, :3], axis=0), rtol=1e-15)
    images.spacing = (1.0, 1.0, 1.0)   # a changed spacing gives the product again
    np.testing.assert_allclose(images.voxel_to_world, images.image_matrix, rtol=1e-15)


@pytest.mark.parametrize("shape, images", [((5, 6, 7), 1), ((5, 6, 7), 3), ((6, 7), 1)])
def test_image_set_to_nibabel_and_back(shape, images, nibabel, awkward_affine):
    original = label_set(shape, images)
    original.voxel_to_world = awkward_affine(3)
    converted = interop.image_set_to_nibabel(original)
    assert_same_arrays(converted.affine, original.voxel_to_world, np.float64)
    assert converted.header.get_intent()[0] == "label"
    data = np.asarray(converted.dataobj)
    for index in range(images):
        volume = data[..., index] if images > 1 else data
        np.testing.assert_array_equal(volume, original.get(index).T)
    back = interop.image_set_from_nibabel(converted)
    assert len(back) == images and back.modality == corvaxis.Modality.LABEL
    assert_same_arrays(back.voxel_to_world, original.voxel_to_world, np.float64)
    for index in range(images):
        assert_same_arrays(back.get(index), original.get(index), np.uint8)


def test_nibabel_image_and_file_to_image_set(nibabel, awkward_affine, tmp_path):
    rng = np.random.default_rng(5)
    data = rng.normal(size=(4, 5, 6)).astype(np.float32)
    affine = awkward_affine(9)
    made = nibabel.Nifti1Image(data, affine)
    images = interop.image_set_from_nibabel(made)
    assert_same_arrays(images.voxel_to_world, affine, np.float64)
    assert_same_arrays(images.get(), data.transpose(2, 1, 0), np.float32)
    assert images.modality == corvaxis.Modality.NA
    # From a file, both readers give the same geometry and pixels.
    nibabel.save(made, tmp_path / "scan.nii")
    peer = interop.image_set_from_nibabel(nibabel.load(tmp_path / "scan.nii"))
    ours = corvaxis.open(tmp_path / "scan.nii")
    assert_same_arrays(peer.voxel_to_world, ours.voxel_to_world, np.float64)
    assert_same_arrays(peer.get(), ours.get(), np.float32)


@pytest.mark.parametrize("data, result", [
    (np.arange(24, dtype=np.int64).reshape(2, 3, 4), np.int32),
    (np.arange(24, dtype=np.uint64).reshape(2, 3, 4), np.uint32),
    (np.full((2, 3, 4), 2**40, dtype=np.int64), "beyond the range of int32"),
    (np.zeros((2, 2, 2, 2, 2), dtype=np.uint8), "not 2-D, 3-D or 4-D"),
])
def test_nibabel_pixels_are_narrowed_or_refused(data, result, nibabel):
    image = nibabel.Nifti1Image(data, np.eye(4), dtype=data.dtype)
    if isinstance(result, str):
        with pytest.raises(ValueError, match=result):
            interop.image_set_from_nibabel(image)
    else:
        images = interop.image_set_from_nibabel(image)
        assert_same_arrays(images.get(), data.T.astype(result), np.dtype(result))


def test_image_sets_nibabel_cannot_hold_are_refused(nibabel, awkward_affine):
    with pytest.raises(ValueError, match="empty"):
        interop.image_set_to_nibabel(corvaxis.SharedImageSet())
    mixed = label_set(images=2)
    mixed.voxel_to_world = awkward_affine(1)
    mixed.append(mixed.get(0))   # appended images start with the identity image matrix
    mixed.selected_index = 1
    with pytest.raises(ValueError, match="image 2 .* another voxel-to-world"):
        interop.image_set_to_nibabel(mixed)
    assert mixed.selected_index == 1
    with pytest.raises(TypeError, match="nibabel image"):
        interop.image_set_from_nibabel(np.zeros((2, 2, 2)))


@pytest.mark.parametrize("index", [-1, 0, 2])
def test_numpy_round_trip(index, awkward_affine):
    original = label_set(images=3)
    original.voxel_to_world = awkward_affine(11)
    original.selected_index = 1
    pixels, spacing, matrix = interop.image_set_to_numpy(original, index)
    assert original.selected_index == 1
    np.testing.assert_array_equal(pixels, original.get(index))
    assert spacing.shape == (3,) and matrix.shape == (4, 4) and matrix.dtype == np.float64
    np.testing.assert_allclose(matrix @ np.diag([*spacing, 1.0]), original.voxel_to_world, atol=1e-12)
    rebuilt = interop.image_set_from_numpy(pixels, spacing, matrix)
    again = interop.image_set_to_numpy(rebuilt)
    for mine, theirs in zip(again, (pixels, spacing, matrix)):
        assert_same_arrays(mine, theirs, theirs.dtype)


@pytest.mark.parametrize("matrix, message", [
    (np.zeros((4, 4)), "last row"),
    (np.diag([1.0, 0.0, 1.0, 1.0]), "singular"),
    (np.full((4, 4), np.nan), "finite"),
])
def test_image_matrices_that_place_no_voxel_are_refused(matrix, message):
    images = label_set()
    with pytest.raises(ValueError, match=message):
        images.image_matrix = matrix
    np.testing.assert_array_equal(images.image_matrix, np.eye(4))
    with pytest.raises(ValueError, match="empty"):
        corvaxis.SharedImageSet().image_matrix = np.eye(4)


@pytest.mark.parametrize("function, argument, package", [
    (interop.mesh_to_trimesh, "mesh", "trimesh"),
    (interop.point_cloud_from_trimesh, None, "trimesh"),
    (interop.mesh_to_pyvista, "mesh", "pyvista"),
    (interop.point_cloud_from_pyvista, None, "pyvista"),
    (interop.image_set_to_nibabel, "images", "nibabel"),
    (interop.image_set_from_nibabel, None, "nibabel"),
])
def test_a_missing_library_is_named(function, argument, package, monkeypatch, cube_mesh):
    monkeypatch.setitem(sys.modules, package, None)   # makes its import fail
    value = {"mesh": cube_mesh(), "images": label_set(), None: None}[argument]
    with pytest.raises(ImportError, match=f"{function.__name__} needs the package '{package}'"):
        function(value)
