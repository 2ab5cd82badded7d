"""ASCRegistration: the Python surface, recovery of known transformations, what moves and what does
not, failures and cancellation that leave the moving collection as it was, and the collections'
lifetimes."""

import gc
import pickle
import weakref

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

Method = anatomy.ASCRegistration.RegistrationMethod


def umeyama(moving, fixed, scaling):
    """Least-squares rigid or similarity transformation by SVD, written from Umeyama's paper."""
    moving_mean, fixed_mean = moving.mean(axis=0), fixed.mean(axis=0)
    moving_centred, fixed_centred = moving - moving_mean, fixed - fixed_mean
    u, s, vt = np.linalg.svd(fixed_centred.T @ moving_centred / len(moving))
    d = np.ones(3)
    if np.linalg.det(u) * np.linalg.det(vt) < 0:
        d[2] = -1
    rotation = u @ np.diag(d) @ vt
    scale = (s * d).sum() / (moving_centred**2).sum(axis=1).mean() if scaling else 1.0
    matrix = np.eye(4)
    matrix[:3, :3] = scale * rotation
    matrix[:3, 3] = fixed_mean - scale * rotation @ moving_mean
    return matrix


def keypoints_by_key(collection):
    return {
        (structure.identifier, key): value
        for structure in (collection.anatomical_structure(i) for i in range(len(collection)))
        for key, value in structure.keypoints2.asdict().items()
    }


def run(fixed, moving, method=None, **parameters):
    registration = anatomy.ASCRegistration(fixed, moving)
    if method is not None:
        registration.registration_method = method
    for name, value in parameters.items():
        setattr(registration, name, value)
    registration.compute()
    return registration


def test_class_surface():
    assert anatomy.ASCRegistration.__bases__ == (corvaxis.Algorithm,)
    assert anatomy.ASCRegistration.__init__.__doc__.rstrip().endswith(
        "Registration between AnatomicalStructureCollectionObjects"
    )
    assert anatomy.ASCRegistration.registration_method.__doc__ == "Registration method"
    assert list(Method.__members__) == ["DeformableMeshRegistration", "RigidImages", "PointsAndPlanes", "PointsRigidScaling"]
    assert [member.value for member in Method.__members__.values()] == [2, 3, 1, 4]
    assert Method.PointsAndPlanes.value == 1 and Method.PointsAndPlanes.name == "PointsAndPlanes"
    assert Method(4) == Method.PointsRigidScaling and int(Method.RigidImages) == 3
    assert pickle.loads(pickle.dumps(Method.RigidImages)) == Method.RigidImages
    assert len({Method.PointsAndPlanes, Method(1), Method.RigidImages}) == 2
    assert not hasattr(anatomy.ASCRegistration, "PointsAndPlanes")
    with pytest.raises(TypeError):
        Method.PointsAndPlanes + 1
    with pytest.raises(TypeError):
        Method.PointsAndPlanes < Method.RigidImages


@pytest.mark.parametrize("bad", [None, 1, "template.cvx", corvaxis.PointCloud([[0.0, 0.0, 0.0]])], ids=repr)
@pytest.mark.parametrize("position", ["fixed", "moving"])
def test_anything_but_collections_is_refused(bad, position):
    arguments = {"fixed": anatomy.GenericASC(), "moving": anatomy.GenericASC()}
    arguments[position] = bad
    with pytest.raises(TypeError):
        anatomy.ASCRegistration(arguments["fixed"], arguments["moving"])


def test_registration_method_property():
    registration = anatomy.ASCRegistration(anatomy.GenericASC(), anatomy.GenericASC())
    assert registration.registration_method == Method.PointsAndPlanes
    assert registration.p_registrationMethod == 1 and registration.p_planeWeight == 1.0
    registration.registration_method = Method.PointsRigidScaling
    assert registration.registration_method == Method.PointsRigidScaling
    for bad in (4, "PointsAndPlanes", None):
        with pytest.raises(TypeError):
            registration.registration_method = bad
    assert registration.registration_method == Method.PointsRigidScaling


def test_the_collections_live_as_long_as_the_registration(registration_kit):
    truth = registration_kit.similarity(30, (1, 1, 0), (5, 6, 7))
    fixed, moving = registration_kit.registration_pair(truth, {f"p{i}": p for i, p in enumerate(np.eye(3) * 10)}
                                                       | {"origin": [0, 0, 0]})
    fixed_ref, moving_ref = weakref.ref(fixed), weakref.ref(moving)
    registration = anatomy.ASCRegistration(fixed, moving)
    del fixed, moving
    gc.collect()
    assert fixed_ref() is not None and moving_ref() is not None
    registration.compute()
    assert registration.status == 0
    np.testing.assert_allclose(registration.results["transformation"], truth, atol=1e-9)
    del registration
    gc.collect()
    assert fixed_ref() is None and moving_ref() is None


def random_planes(rng, count):
    normals = rng.normal(size=(count, 3))
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    return {f"plane{i}": [*normal, rng.uniform(-50, 50)] for i, normal in enumerate(normals)}


RECOVERY_CASES = [
    # name, method, truth (degrees, axis, translation, scale), point pairs, plane pairs, pairs used
    ("rigid from points", Method.PointsAndPlanes, (40, (1, 2, 3), (10, -5, 3), 1.0), 6, 0, 6),
    ("rigid from points and planes", Method.PointsAndPlanes, (-75, (0, 1, 1), (0, 80, -3), 1.0), 4, 3, 7),
    ("rigid from two points and a plane", Method.PointsAndPlanes, (120, (1, 0, 0), (1, 2, 3), 1.0), 2, 1, 3),
    ("rigid from planes alone", Method.PointsAndPlanes, (15, (2, -1, 1), (-9, 4, 30), 1.0), 0, 4, 4),
    ("similarity from points", Method.PointsRigidScaling, (170, (3, 1, -2), (4, 4, -40), 1.3), 8, 2, 8),
    ("similarity shrinking", Method.PointsRigidScaling, (5, (0, 0, 1), (0, 0, 0), 0.25), 3, 0, 3),
]


@pytest.mark.parametrize("name, method, truth, points, planes, used", RECOVERY_CASES, ids=[c[0] for c in RECOVERY_CASES])
def test_known_transformations_are_recovered(registration_kit, rng, name, method, truth, points, planes, used):
    truth = registration_kit.similarity(*truth)
    moving_points = {f"k{i}": point for i, point in enumerate(rng.uniform(-60, 60, size=(points, 3)))}
    fixed, moving = registration_kit.registration_pair(truth, moving_points, random_planes(rng, planes))
    registration = run(fixed, moving, method)
    assert (registration.status, registration.status_message) == (0, "")
    results = registration.results
    np.testing.assert_allclose(results["transformation"], truth, rtol=0, atol=1e-9 * np.linalg.norm(truth))
    assert results["correspondences"] == used and results["point_pairs"] == points
    assert results["plane_pairs"] == used - points
    assert results["scale"] == pytest.approx(np.cbrt(np.linalg.det(truth[:3, :3])), rel=1e-12)
    if points:
        assert results["rms_before"] > 1 and results["rms_after"] < 1e-9
    else:
        assert np.isnan(results["rms_before"]) and np.isnan(results["rms_after"])
    fixed_points, moved_points = keypoints_by_key(fixed), keypoints_by_key(moving)
    assert fixed_points.keys() == moved_points.keys()
    for key, point in moved_points.items():
        np.testing.assert_allclose(point, fixed_points[key], atol=1e-9, err_msg=str(key))
    if method == Method.PointsAndPlanes:
        fixed_planes = fixed.anatomical_structure("liver").planes.asdict() if planes else {}
        for key, plane in (moving.anatomical_structure("liver").planes.asdict() if planes else {}).items():
            np.testing.assert_allclose(plane, fixed_planes[key], atol=1e-9, err_msg=key)


@pytest.mark.parametrize("method, scaling", [(Method.PointsAndPlanes, False), (Method.PointsRigidScaling, True)])
def test_noisy_points_give_the_least_squares_optimum(registration_kit, rng, method, scaling):
    truth = registration_kit.similarity(33, (1, -1, 2), (12, -7, 5), 1.1 if scaling else 1.0)
    moving_points = rng.uniform(-100, 100, size=(50, 3))
    fixed, moving = registration_kit.registration_pair(
        truth, {f"k{i:02}": point for i, point in enumerate(moving_points)}, rng=rng, noise=2.0
    )
    pairs = keypoints_by_key(fixed)
    before = keypoints_by_key(moving)
    order = sorted(pairs)
    expected = umeyama(np.array([before[k] for k in order]), np.array([pairs[k] for k in order]), scaling)
    registration = run(fixed, moving, method)
    assert registration.status == 0, registration.status_message
    np.testing.assert_allclose(registration.results["transformation"], expected, rtol=0, atol=1e-9 * np.linalg.norm(expected))
    residuals = np.array([pairs[k] for k in order]) - registration_kit.move_points(expected, [before[k] for k in order])
    assert registration.results["rms_after"] == pytest.approx(np.sqrt((residuals**2).sum(axis=1).mean()), rel=1e-9)


def every_store_kind(structure, rng):
    """Fills the moving structure with one value of each kind, each object with a matrix of its own."""
    own = np.array([[0, -1, 0, 3], [1, 0, 0, -2], [0, 0, 1, 8], [0, 0, 0, 1]], dtype=float)
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    objects = {
        "meshes": corvaxis.Mesh(vertices, np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])),
        "pointclouds": corvaxis.PointCloud(rng.normal(size=(10, 3))),
        "graphs": corvaxis.Graph(vertices, np.array([[0, 1], [1, 2]]), directed=True),
        "images": corvaxis.SharedImageSet(np.arange(64, dtype=np.uint8).reshape(4, 4, 4), spacing=(0.5, 0.5, 2.0)),
    }
    for store, value in objects.items():
        value.matrix = own
        getattr(structure, store)["surface"] = value
    structure.planes["cut"] = [0.0, 0.6, 0.8, -5.0]


def object_content(value):
    if isinstance(value, corvaxis.SharedImageSet):
        return [value.get(0), value.spacing]
    if isinstance(value, corvaxis.Mesh):
        return [value.vertices, value.faces]
    if isinstance(value, corvaxis.Graph):
        return [value.nodes, value.edges]
    return [value.points]


def test_the_whole_moving_collection_moves_and_nothing_else(registration_kit, rng):
    truth = registration_kit.similarity(-50, (1, 3, 1), (25, -10, 4))
    corners = {"a": [0, 0, 0], "b": [30, 0, 0], "c": [0, 40, 0], "d": [0, 0, 50]}
    fixed, moving = registration_kit.registration_pair(truth, corners)
    frame = registration_kit.similarity(20, (0, 1, 0), (100, 0, -30))
    liver = moving.anatomical_structure("liver")
    liver.matrix_to_world = frame
    every_store_kind(liver, rng)
    spleen = anatomy.GenericAnatomicalStructure("spleen")
    spleen.keypoints2["apex"] = [7.0, 8.0, 9.0]
    moving.add(spleen)
    fixed_before = registration_kit.snapshot(fixed)
    stores = ("images", "meshes", "pointclouds", "graphs")
    objects_before = {store: getattr(liver, store)["surface"] for store in stores}

    registration = run(fixed, moving)
    assert registration.status == 0, registration.status_message

    registration_kit.assert_same_snapshot(fixed_before, registration_kit.snapshot(fixed))
    np.testing.assert_allclose(liver.matrix_to_world, truth @ frame, atol=1e-9)
    np.testing.assert_allclose(moving.anatomical_structure("kidney").matrix_to_world, truth, atol=1e-9)
    np.testing.assert_allclose(
        moving.anatomical_structure("spleen").keypoints2["apex"], registration_kit.move_points(truth, [7, 8, 9]), atol=1e-9
    )
    moved_plane = liver.planes["cut"]
    np.testing.assert_allclose(moved_plane, registration_kit.move_plane(truth, [0.0, 0.6, 0.8, -5.0]), atol=1e-12)
    assert np.linalg.norm(moved_plane[:3]) == pytest.approx(1.0, abs=1e-15)
    for store in stores:
        before, after = objects_before[store], getattr(liver, store)["surface"]
        np.testing.assert_allclose(after.matrix, truth @ before.matrix, atol=1e-9, err_msg=store)
        for old, new in zip(object_content(before), object_content(after)):
            np.testing.assert_array_equal(new, old, err_msg=store)


FAILURES = [
    # name, method, fixed keypoints, moving keypoints, planes (both sides), status, message part
    ("no common keys", None, {"tip": [0, 0, 0]}, {"base": [1, 1, 1]}, {}, 3, "No correspondences"),
    ("two point pairs", None, {"a": [0, 0, 0], "b": [1, 0, 0]}, {"a": [0, 0, 0], "b": [1, 0, 0]}, {}, 2,
     "2 point pairs"),
    ("points on a line", None, {k: [i, 2 * i, 0] for i, k in enumerate("abcd")},
     {k: [i, 2 * i, 1] for i, k in enumerate("abcd")}, {}, 2, "4 point pairs (all on one line)"),
    ("points in one place", None, {k: [5, 5, 5] for k in "abc"}, {k: [1, 2, 3] for k in "abc"}, {}, 2,
     "all in one place"),
    ("parallel planes only", None, {}, {}, {"up": [0, 0, 1, 0], "up2": [0, 0, 1, -4]}, 2, "normals all parallel"),
    ("similarity from planes", Method.PointsRigidScaling, {}, {},
     {"x": [1, 0, 0, 0], "y": [0, 1, 0, 0], "z": [0, 0, 1, 0]}, 2, "Too few correspondences to determine a similarity"),
    ("similarity on a line", Method.PointsRigidScaling, {k: [i, 0, 0] for i, k in enumerate("abc")},
     {k: [0, i, 0] for i, k in enumerate("abc")}, {}, 2, "on one line"),
    ("deformable meshes", Method.DeformableMeshRegistration, {}, {}, {}, 3, "No meshes in common"),
    ("rigid images", Method.RigidImages, {}, {}, {}, 3, "No images in common"),
]


@pytest.mark.parametrize("name, method, fixed_points, moving_points, planes, status, message", FAILURES,
                         ids=[f[0] for f in FAILURES])
def test_failures_say_why_and_change_nothing(registration_kit, rng, name, method, fixed_points, moving_points, planes,
                                             status, message):
    fixed = registration_kit.build_collection({"liver": {"keypoints": fixed_points, "planes": planes}})
    moving = registration_kit.build_collection({"liver": {"keypoints": moving_points, "planes": planes}})
    every_store_kind(moving.anatomical_structure("liver"), rng)
    moving_before, fixed_before = registration_kit.snapshot(moving), registration_kit.snapshot(fixed)
    registration = run(fixed, moving, method)
    assert registration.status == status
    assert message in registration.status_message
    assert registration.results == {}
    registration_kit.assert_same_snapshot(moving_before, registration_kit.snapshot(moving))
    registration_kit.assert_same_snapshot(fixed_before, registration_kit.snapshot(fixed))


def test_a_failure_clears_earlier_results(registration_kit):
    truth = registration_kit.similarity(10, (0, 0, 1), (1, 2, 3))
    fixed, moving = registration_kit.registration_pair(truth, {"a": [0, 0, 0], "b": [9, 0, 0], "c": [0, 9, 0]})
    registration = anatomy.ASCRegistration(fixed, moving)
    registration.compute()
    assert registration.status == 0 and "transformation" in registration.results
    moving.pop("liver")
    registration.compute()
    assert registration.status != 0 and "Too few or degenerate correspondences" in registration.status_message
    assert registration.results == {}


class Stop(Exception):
    pass


@pytest.mark.parametrize("stop_at", ["Gathering correspondences", "Estimating the transformation", "Moving the collection"])
def test_cancelling_leaves_the_moving_collection_alone(registration_kit, stop_at):
    truth = registration_kit.similarity(45, (1, 0, 0), (3, 3, 3))
    fixed, moving = registration_kit.registration_pair(truth, {k: p for k, p in zip("abcd", np.eye(4, 3) * 10)})
    before = registration_kit.snapshot(moving)
    steps = []

    def progress(fraction, step):
        steps.append(step)
        if step == stop_at:
            raise Stop(step)

    registration = anatomy.ASCRegistration(fixed, moving)
    registration.set_progress_callback(progress)
    with pytest.raises(Stop):
        registration.compute()
    assert registration.status == 4 and steps[-1] == stop_at
    registration_kit.assert_same_snapshot(before, registration_kit.snapshot(moving))


@pytest.mark.parametrize(
    "fixed_only, moving_only",
    [("", ""), ("a", "b"), ("ax", "bz"), ("abghz", ""), ("", "abghz"), ("ae", "bz")],
)
def test_only_keys_on_both_sides_pair_up(registration_kit, rng, fixed_only, moving_only):
    truth = registration_kit.similarity(60, (2, 1, 0), (-4, 9, 1))
    shared = {key: rng.uniform(-50, 50, size=3) for key in "cdf"}
    fixed_points = {key: registration_kit.move_points(truth, point) for key, point in shared.items()}
    fixed_points |= {key: rng.uniform(-50, 50, size=3) for key in fixed_only}
    moving_points = shared | {key: rng.uniform(-50, 50, size=3) for key in moving_only}
    fixed = registration_kit.build_collection({"liver": {"keypoints": fixed_points}, "heart": {"keypoints": {"x": [0, 0, 0]}}})
    moving = registration_kit.build_collection({"lung": {"keypoints": {"x": [1, 1, 1]}}, "liver": {"keypoints": moving_points}})
    registration = run(fixed, moving)
    assert registration.status == 0, registration.status_message
    assert registration.results["point_pairs"] == 3
    np.testing.assert_allclose(registration.results["transformation"], truth, atol=1e-9)
