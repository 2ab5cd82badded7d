"""ASCRegistration by deformable meshes and by rigid images: recovery on small cases, what moves
(mesh vertices in their own frames, keypoints with the deformation, images through their matrices),
and missing pairs and cancellation leaving the moving collection as it was."""

import numpy as np
import pytest

import corvaxis.anatomy as anatomy

Method = anatomy.ASCRegistration.RegistrationMethod
MUTUAL_INFORMATION, CORRELATION, MEAN_SQUARES = 0, 1, 2
SEMI_AXES = np.array([25.0, 20.0, 15.0])
SPHERE_CENTRE = np.array([3.0, -2.0, 5.0])
KEYPOINT_VERTICES = [0, 3, 7, 10, 40, 200]
PLANE = [0.0, 0.6, 0.8, -5.0]


def structure(identifier, frame=np.eye(4), **stores):
    """A structure in the given frame holding {store: {key: value}}."""
    result = anatomy.GenericAnatomicalStructure(identifier)
    result.matrix_to_world = frame
    for store, values in stores.items():
        for key, value in values.items():
            getattr(result, store)[key] = value
    return result


def collection(*structures):
    result = anatomy.GenericASC()
    for part in structures:
        result.add(part)
    return result


@pytest.fixture
def sphere_onto_ellipsoid(registration_kit):
    """sphere_onto_ellipsoid(fixed_keypoints) -> (fixed, moving, ellipsoid placement): a sphere of radius
    20 mm (stored in a rotated structure frame, its mesh with a matrix of its own) and an ellipsoid of
    semi-axes 25, 20, 15 mm rotated by 10 degrees and shifted, tessellated differently. Keypoints sit
    on sphere vertices; with fixed_keypoints the fixed side has them at the matching ellipsoid points."""
    kit = registration_kit

    def make(fixed_keypoints):
        placement = kit.similarity(10, (1, 1, 0), (4, -3, 2))
        unit_sphere, sphere_faces = kit.icosphere(3)
        unit_ellipsoid, ellipsoid_faces = kit.latitude_sphere(20, 32)
        sphere = unit_sphere * 20 + SPHERE_CENTRE
        ellipsoid = kit.move_points(placement, unit_ellipsoid * SEMI_AXES)
        keypoints = {f"k{i}": sphere[i] for i in KEYPOINT_VERTICES}
        matching = {f"k{i}": kit.move_points(placement, unit_sphere[i] * SEMI_AXES) for i in KEYPOINT_VERTICES}
        fixed = collection(structure("organ", meshes={"surface": kit.mesh_in_frame(ellipsoid, ellipsoid_faces)},
                                     keypoints2=matching if fixed_keypoints else {}))
        own_matrix = kit.similarity(-30, (0, 1, 1), (10, 0, -4))
        frame = kit.similarity(25, (1, 0, 0), (-5, 8, 1))
        moving = collection(
            structure("organ", frame, meshes={"surface": kit.mesh_in_frame(sphere, sphere_faces, own_matrix)},
                      keypoints2=keypoints, planes={"cut": PLANE}),
            # Nothing to pair with: moves with the rigid part only.
            structure("spleen", meshes={"surface": kit.mesh_in_frame(sphere / 4 + 60, sphere_faces)}))
        return fixed, moving, placement

    return make


def run(fixed, moving, method, **parameters):
    registration = anatomy.ASCRegistration(fixed, moving)
    registration.registration_method = method
    for name, value in parameters.items():
        setattr(registration, name, value)
    registration.compute()
    return registration


@pytest.mark.parametrize("start", ["meshes", "keypoints"])
def test_sphere_deforms_onto_the_ellipsoid(registration_kit, sphere_onto_ellipsoid, start):
    kit = registration_kit
    fixed, moving, placement = sphere_onto_ellipsoid(fixed_keypoints=start == "keypoints")
    organ, spleen = moving.anatomical_structure("organ"), moving.anatomical_structure("spleen")
    mesh_before, spleen_before = organ.meshes["surface"], spleen.meshes["surface"]
    frame_before, fixed_before = organ.matrix_to_world, kit.snapshot(fixed)

    registration = run(fixed, moving, Method.DeformableMeshRegistration)
    assert (registration.status, registration.status_message) == (0, "")
    results = registration.results
    rigid_part = results["transformation"]
    assert results["initial_alignment"] == start and results["mesh_pairs"] == 1
    assert results["vertices"] == len(mesh_before.vertices)
    assert results["correspondences"] == 1 + (len(KEYPOINT_VERTICES) if start == "keypoints" else 0)
    assert results["mean_distance"] <= 0.5 and results["max_distance"] <= 2.0 and results["flipped_faces"] == 0
    assert 0 < results["iterations"] <= registration.p_deformableIterations
    kit.assert_same_snapshot(fixed_before, kit.snapshot(fixed))

    # The rigid part goes through the matrices, the rest into the vertices; faces stay.
    mesh = organ.meshes["surface"]
    np.testing.assert_allclose(organ.matrix_to_world, rigid_part @ frame_before, atol=1e-9)
    np.testing.assert_allclose(mesh.matrix, rigid_part @ mesh_before.matrix, atol=1e-9)
    np.testing.assert_array_equal(mesh.faces, mesh_before.faces)
    deformed = kit.world_vertices(mesh)

    # Independently of the reported figures: radial distance to the ellipsoid (an upper bound of the
    # true distance), and every face still facing away from the ellipsoid's centre.
    local = kit.move_points(np.linalg.inv(placement), deformed)
    radial = np.linalg.norm(local, axis=1) * np.abs(1 - 1 / np.linalg.norm(local / SEMI_AXES, axis=1))
    assert radial.mean() <= 0.5 and radial.max() <= 2.0
    corners = deformed[mesh.faces]
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    assert (np.einsum("ij,ij->i", normals, corners.mean(axis=1) - placement[:3, 3]) > 0).all()

    # Keypoints follow the deformation (they sat on vertices); planes and unpaired meshes the rigid part.
    for i in KEYPOINT_VERTICES:
        np.testing.assert_allclose(organ.keypoints2[f"k{i}"], deformed[i], atol=1e-6)
    np.testing.assert_allclose(organ.planes["cut"], kit.move_plane(rigid_part, PLANE), atol=1e-12)
    np.testing.assert_allclose(spleen.meshes["surface"].matrix, rigid_part @ spleen_before.matrix, atol=1e-9)
    np.testing.assert_array_equal(spleen.meshes["surface"].vertices, spleen_before.vertices)


def test_several_mesh_pairs_share_one_deformation(registration_kit, sphere_onto_ellipsoid):
    kit = registration_kit
    fixed, moving, placement = sphere_onto_ellipsoid(False)
    unit_sphere, faces = kit.icosphere(2)
    kidney = unit_sphere * 8 + (70.0, 0.0, 0.0)
    fixed.add(structure("kidney", meshes={"surface": kit.mesh_in_frame(kit.move_points(placement, kidney), faces)}))
    moving.add(structure("kidney", kit.similarity(40, (0, 0, 1)), meshes={"surface": kit.mesh_in_frame(kidney, faces)}))

    registration = run(fixed, moving, Method.DeformableMeshRegistration)
    assert (registration.status, registration.status_message) == (0, "")
    results = registration.results
    assert results["mesh_pairs"] == 2 and results["vertices"] == 642 + len(kidney) and results["flipped_faces"] == 0
    assert results["mean_distance"] <= 0.5 and results["max_distance"] <= 2.0
    # Each mesh gets its own share of the deformed vertices, its faces unchanged.
    mesh = moving.anatomical_structure("kidney").meshes["surface"]
    np.testing.assert_array_equal(mesh.faces, faces)
    moved = kit.move_points(np.linalg.inv(placement), kit.world_vertices(mesh)) - (70.0, 0.0, 0.0)
    assert np.abs(np.linalg.norm(moved, axis=1) - 8).max() < 1.0


def images_case(kit, remap=None):
    """Fixed and moving collections whose "head" structures hold blob images (moving: rotated by 8 degrees
    about an oblique axis and shifted by (4, -3, 2) mm, on a grid of its own), the moving one also a
    keypoint; and the moving-to-fixed transformation to find."""
    truth = kit.similarity(8, (1, 2, 3), (4, -3, 2))
    size, spacing = 40, 2.4
    fixed_grid = np.diag([spacing, spacing, spacing, 1.0])
    fixed_grid[:3, 3] = -spacing * (size - 1) / 2
    moving_grid = kit.similarity(90, (0, 0, 1), (50.0, -45.0, -47.0)) @ np.diag([2.5, 2.5, 2.5, 1.0])
    fixed = collection(structure("head", images={"scan": kit.blob_image(size, fixed_grid)}))
    moving = collection(structure("head", images={"scan": kit.blob_image(size, moving_grid, np.linalg.inv(truth), remap)},
                                  keypoints2={"nose": [1.0, 2.0, 3.0]}))
    return fixed, moving, truth


IMAGE_CASES = [
    # name, metric, intensity remap of the moving image, largest rotation (degrees) and shift (mm) error
    ("mutual information", MUTUAL_INFORMATION, None, 0.5, 0.5),
    ("cross-correlation", CORRELATION, None, 0.5, 0.5),
    ("mean squares", MEAN_SQUARES, None, 0.5, 0.5),
    ("second modality, mutual information", MUTUAL_INFORMATION, lambda v: 4 * v * (1 - v) + 0.1, 1.0, 1.0),
]


@pytest.mark.parametrize("name, metric, remap, degrees, millimetres", IMAGE_CASES, ids=[c[0] for c in IMAGE_CASES])
def test_blob_images_are_registered_rigidly(registration_kit, name, metric, remap, degrees, millimetres):
    kit = registration_kit
    fixed, moving, truth = images_case(kit, remap)
    head = moving.anatomical_structure("head")
    scan_before = head.images["scan"]

    registration = run(fixed, moving, Method.RigidImages, p_imageMetric=metric)
    assert (registration.status, registration.status_message) == (0, "")
    found = registration.results["transformation"]
    assert kit.rotation_error_degrees(found, truth) < degrees
    assert np.linalg.norm(found[:3, 3] - truth[:3, 3]) < millimetres
    assert registration.results["image_pairs"] == 1 and registration.results["iterations"] > 0
    assert registration.results["scale"] == pytest.approx(1.0, abs=1e-12)

    # The collection moves as the point methods move it: pixels stay, the matrices carry the motion.
    scan = head.images["scan"]
    np.testing.assert_array_equal(scan.get(), scan_before.get())
    np.testing.assert_allclose(scan.matrix, found @ scan_before.matrix, atol=1e-9)
    np.testing.assert_allclose(scan.voxel_to_world, found @ scan_before.voxel_to_world, atol=1e-9)
    np.testing.assert_allclose(head.keypoints2["nose"], kit.move_points(found, [1.0, 2.0, 3.0]), atol=1e-9)
    np.testing.assert_allclose(head.matrix_to_world, found, atol=1e-12)


def unpaired_collections(kit, method):
    """Collections that share structures, keypoints and objects of every kind except the ones the method
    registers: meshes under other keys, images in another structure."""
    sphere, faces = kit.icosphere(1)
    grid = np.diag([2.0, 2.0, 2.0, 1.0])
    both = {"keypoints2": {k: p for k, p in zip("abc", np.eye(3) * 10)}}
    fixed = collection(structure("organ", meshes={"surface": kit.mesh_in_frame(sphere * 20, faces)},
                                 images={"scan": kit.blob_image(8, grid)}, **both))
    moving = collection(structure("organ", kit.similarity(20, (0, 1, 0), (1, 2, 3)),
                                  meshes={"outline": kit.mesh_in_frame(sphere * 18, faces)}, **both),
                        structure("spleen", images={"scan": kit.blob_image(8, grid)}))
    return fixed, moving


class Stop(Exception):
    pass


FAILURES = [
    # name, method, status, message part (parameters out of range are refused when assigned)
    ("no meshes in common", Method.DeformableMeshRegistration, 3, "No meshes in common"),
    ("no images in common", Method.RigidImages, 3, "No images in common"),
]


@pytest.mark.parametrize("name, method, status, message", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_say_why_and_change_nothing(registration_kit, name, method, status, message):
    kit = registration_kit
    fixed, moving = unpaired_collections(kit, method)
    before = kit.snapshot(moving)
    registration = run(fixed, moving, method)
    assert registration.status == status
    assert message in registration.status_message
    assert registration.results == {}
    kit.assert_same_snapshot(before, kit.snapshot(moving))


CANCELLATIONS = [
    (Method.DeformableMeshRegistration, "Initial alignment"),
    (Method.DeformableMeshRegistration, "Non-rigid deformation"),
    (Method.DeformableMeshRegistration, "Quality figures"),
    (Method.DeformableMeshRegistration, "Moving the collection"),
    (Method.RigidImages, "Level 1 of 3"),
    (Method.RigidImages, "Moving the collection"),
]


@pytest.mark.parametrize("method, stop_at", CANCELLATIONS, ids=[f"{m.name}: {s}" for m, s in CANCELLATIONS])
def test_cancelling_leaves_the_moving_collection_alone(registration_kit, sphere_onto_ellipsoid, method, stop_at):
    kit = registration_kit
    fixed, moving = sphere_onto_ellipsoid(False)[:2] if method == Method.DeformableMeshRegistration else images_case(kit)[:2]
    before = kit.snapshot(moving)
    fractions = []

    def progress(fraction, step):
        fractions.append(fraction)
        if step == stop_at:
            raise Stop(step)

    registration = anatomy.ASCRegistration(fixed, moving)
    registration.registration_method = method
    registration.set_progress_callback(progress)
    with pytest.raises(Stop):
        registration.compute()
    assert registration.status == 4 and registration.results == {}
    assert fractions == sorted(fractions) and 0 <= fractions[0] and fractions[-1] <= 1
    kit.assert_same_snapshot(before, kit.snapshot(moving))
