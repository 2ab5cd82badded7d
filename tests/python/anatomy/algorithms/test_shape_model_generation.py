"""GenerateLinearShapeModel: the call's result dict and failures, mode recovery on a synthetic
population, skipped files, the mean update, the mean shape kept alive, cancellation."""

import gc
import pathlib
import struct
import zlib

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis.shape_model import LinearShapeModel

FUZZ_CORPUS = pathlib.Path(__file__).parents[3] / "fuzz" / "corpus"

CONSTRUCTOR_DOC = (
    "Generate a linear shape model from a set of AnatomicalStructureCollections.\n"
    "Input data are the mean shape and a set of .cvx files with AnatomicalStructureCollections located in the "
    "input directory.\n"
    "The mean shape defines the anatomical structures of interest and can optionally be updated iteratively in "
    "batches\nbefore the linear shape model is computed.\n\nArgs:\n"
    "\tmean_shape: AnatomicalStructureCollection that defines the registration target and structures of interest."
)


def test_class_surface():
    cls = anatomy.GenerateLinearShapeModel
    assert issubclass(cls, corvaxis.Algorithm)
    assert cls.__init__.__doc__.endswith(CONSTRUCTOR_DOC + "\n")
    call_doc = cls.__call__.__doc__
    assert call_doc.startswith("__call__(self: corvaxis.anatomy.GenerateLinearShapeModel) -> "
                               "dict[str, corvaxis.anatomy.AnatomicalStructureCollection]")
    assert "Compute and return the mean shape (if configured to be updated) and the linear shape model" in call_doc
    with pytest.raises(TypeError):
        cls("not a collection")


@pytest.mark.parametrize("update_mean, keys", [(False, ["shape_model"]), (True, ["mean", "shape_model"])])
def test_result_keys_follow_the_update_mean_option(make_population, generator, update_mean, keys):
    population = make_population(count=6)
    results = generator(population.directory, updateMean=update_mean)()
    assert list(results) == keys
    assert all(type(value) is anatomy.GenericASC for value in results.values())
    if update_mean:
        mean = results["mean"]
        assert mean.anatomical_structure_identifiers() == ["bone", "organ"]
        assert "shape_model" in results["shape_model"].anatomical_structure_identifiers()


def write_unusable(directory, kind, build_collection, faces):
    """One training file the algorithm must skip, of the given kind, in the middle of the others
    (reading goes on after it); returns its path."""
    path = directory / f"shape_002_{kind}.cvx"
    points = np.random.default_rng(3).normal(scale=20.0, size=(3 + 60 + 1, 3))
    if kind == "garbage":
        path.write_bytes(b"not a data file")
        return path
    if kind == "link_loop":
        path.symlink_to(path)
        return path
    if kind == "forged":
        # Passes the header's checks, then stops the HDF5 library on an internal assertion.
        forged = bytearray((FUZZ_CORPUS / "fuzz_data_file" / "regression-hdf5-object-header-assertion").read_bytes())
        struct.pack_into("<QI", forged, 12, len(forged) - 512, zlib.crc32(forged[512:]))
        path.write_bytes(bytes(forged))
        return path
    if kind == "mesh":
        corvaxis.save(corvaxis.Mesh(points, faces), path)
        return path
    asc = build_collection(points, faces)
    if kind == "missing_keypoint":
        del asc.anatomical_structure("bone").keypoints2["apex"]
    elif kind == "missing_structure":
        asc.pop("organ")
    elif kind == "fewer_vertices":
        bone = asc.anatomical_structure("bone")
        bone.meshes["surface"] = corvaxis.Mesh(points[:10], faces[:5])
    elif kind == "collapsed":
        asc = build_collection(np.zeros_like(points), faces)
    corvaxis.save(asc, path)
    return path


@pytest.mark.parametrize("kind, reason", [
    ("garbage", "not a corvaxis data file"),
    ("link_loop", "Too many levels of symbolic links"),
    ("forged", "its HDF5 structure stops the HDF5 library (SIGABRT in a trial read)"),
    ("mesh", "holds a Mesh, not a collection"),
    ("missing_keypoint", "structure 'bone' has no keypoint 'apex'"),
    ("missing_structure", "it holds no structure identified 'organ'"),
    ("fewer_vertices", "mesh 'surface' of structure 'bone' has 10 vertices instead of 60"),
    ("collapsed", "cannot be aligned"),
])
def test_non_corresponding_files_are_skipped_with_a_warning(make_population, generator, build_collection, faces,
                                                           kind, reason):
    population = make_population(count=5)
    skipped = write_unusable(population.directory, kind, build_collection, faces)
    (population.directory / "notes.txt").write_text("ignored: not a data file name")
    (population.directory / "nested.cvx").mkdir()
    algorithm = generator(population.directory)
    with corvaxis.log.capture(level=corvaxis.log.Level.INFO) as records:
        results = algorithm()
    warnings = [message for level, category, message in records if level == 3]
    assert len(warnings) == 1 and str(skipped) in warnings[0] and reason in warnings[0]
    infos = [message for level, _, message in records if level == 2 and message.startswith("Reading shape")]
    assert len(infos) == 6 and str(population.files[0]) in infos[0]
    figures = algorithm.results
    assert (figures["files"], figures["shapes_used"], figures["files_skipped"]) == (6, 5, 1)
    assert figures["skipped"][0]["file"] == str(skipped)
    # Five shapes of three modes and noise: the noise fills the fourth mode.
    assert LinearShapeModel(results["shape_model"]).num_modes == 4


@pytest.mark.parametrize("setup, message", [
    ("no_mean", "no mean shape was given"),
    ("no_directory", "is not a directory"),
    ("empty_directory", "0 of 0 files"),
    ("one_shape", "1 of 1 files"),
])
def test_failures_raise_after_compute(tmp_path, template, make_population, setup, message):
    directory = tmp_path / "empty"
    directory.mkdir()
    algorithm = anatomy.GenerateLinearShapeModel(None if setup == "no_mean" else template)
    if setup != "no_directory":
        algorithm.p_inputDirectory = str(directory)
    if setup == "one_shape":
        population = make_population(count=2)
        population.files[1].unlink()
        algorithm.p_inputDirectory = str(population.directory)
    with pytest.raises(RuntimeError, match="^Failed to compute linear shape model$"):
        algorithm()
    assert algorithm.status != 0 and message in algorithm.status_message


@pytest.mark.parametrize("update_mean", [False, True])
def test_modes_and_variances_are_recovered(make_population, generator, update_mean):
    population = make_population(count=40)
    algorithm = generator(population.directory, updateMean=update_mean, batchSize=7)
    model = LinearShapeModel(algorithm()["shape_model"])
    assert model.num_modes >= 3 and model.alignment == "similarity"
    for k, true_mode in enumerate(population.modes):
        cosine = abs(np.dot(model.modes[k].reshape(-1), true_mode.reshape(-1)))
        assert cosine >= 0.99, (k, cosine)
    np.testing.assert_allclose(np.sqrt(model.variances[:3]), population.standard_deviations, rtol=0.05)
    flat = model.modes.reshape(model.num_modes, -1)
    np.testing.assert_allclose(flat @ flat.T, np.eye(model.num_modes), atol=1e-9)
    assert np.all(np.diff(model.variances) <= 0)
    figures = algorithm.results
    assert [mode["variance"] for mode in figures["mode"]] == pytest.approx(model.variances)
    assert figures["mode"][-1]["cumulative_explained_variance"] == pytest.approx(1.0, abs=1e-3)
    if update_mean:
        assert figures["converged"] and figures["iterations"] <= 20


@pytest.mark.parametrize("batch_size", [1, 3, 100])
def test_batches_do_not_change_the_updated_model(make_population, generator, batch_size):
    population = make_population(count=12)
    reference = LinearShapeModel(generator(population.directory, updateMean=True, tolerance=1e-10)()["shape_model"])
    model = LinearShapeModel(
        generator(population.directory, updateMean=True, tolerance=1e-10, batchSize=batch_size)()["shape_model"])
    np.testing.assert_allclose(model.variances, reference.variances, rtol=1e-5)
    np.testing.assert_allclose(model.mean, reference.mean, atol=1e-5)


@pytest.mark.parametrize("alignment, num_modes, expected_modes", [(0, 0, None), (1, 2, 2), (2, 1, 1), (2, 50, None)])
def test_alignment_and_number_of_modes(make_population, generator, alignment, num_modes, expected_modes):
    population = make_population(count=8, moved=alignment == 0)
    model = LinearShapeModel(generator(population.directory, alignment=alignment, numModes=num_modes)()["shape_model"])
    # Without a cap, every mode of non-zero variance: noise fills all n - 1 of them.
    assert model.num_modes == (expected_modes or 7)
    assert model.alignment == ["none", "rigid", "similarity"][alignment]


def test_updated_mean_matches_the_model_mean(make_population, generator):
    population = make_population(count=10)
    results = generator(population.directory, updateMean=True)()
    model = LinearShapeModel(results["shape_model"])
    mean = model.shape_points(results["mean"])
    np.testing.assert_allclose(mean, model.mean, atol=1e-9)


def test_mean_shape_stays_alive_with_the_algorithm(make_population, build_collection, faces):
    population = make_population(count=4)
    algorithm = anatomy.GenerateLinearShapeModel(build_collection(population.mean, faces))
    gc.collect()
    algorithm.p_inputDirectory = str(population.directory)
    assert LinearShapeModel(algorithm()["shape_model"]).num_points == len(population.mean)


def test_results_outlive_the_algorithm(make_population, generator):
    population = make_population(count=4)
    results = generator(population.directory, updateMean=True)()
    gc.collect()
    assert results["mean"].num_anatomical_structures() == 2


@pytest.mark.parametrize("stop", [KeyboardInterrupt, ValueError])
def test_progress_callback_stops_the_computation(make_population, generator, stop):
    population = make_population(count=6)
    algorithm = generator(population.directory)
    seen = []

    def callback(fraction, step):
        seen.append(step)
        if len(seen) == 3:
            raise stop("stop here")

    algorithm.set_progress_callback(callback)
    with pytest.raises(stop, match="stop here"):
        algorithm()
    assert algorithm.status == 4 and len(seen) == 3
    algorithm.set_progress_callback(None)
    assert list(algorithm()) == ["shape_model"]


@pytest.mark.parametrize("count", [5, 9, 15])
def test_unaligned_model_matches_numpy_svd(tmp_path, count):
    # Three keypoints are 9 numbers: 5 shapes go through the Gram matrix, 15 through the covariance.
    rng = np.random.default_rng(count)
    shapes = rng.normal(scale=10.0, size=(count, 3, 3))

    def keypoints_only(points):
        asc = anatomy.GenericASC()
        structure = anatomy.GenericAnatomicalStructure("triangle")
        structure.keypoints2 = {key: point for key, point in zip("abc", points)}
        asc.add(structure)
        return asc

    for index, points in enumerate(shapes):
        corvaxis.save(keypoints_only(points), tmp_path / f"{index:02d}.cvx")
    algorithm = anatomy.GenerateLinearShapeModel(keypoints_only(shapes[0]))
    algorithm.p_inputDirectory = str(tmp_path)
    algorithm.p_alignment = 0
    model = LinearShapeModel(algorithm()["shape_model"])
    stacked = shapes.reshape(count, -1)
    _, singular, directions = np.linalg.svd(stacked - stacked.mean(axis=0), full_matrices=False)
    expected = singular[: min(count - 1, 9)] ** 2 / (count - 1)
    np.testing.assert_allclose(model.variances, expected, rtol=1e-9)
    np.testing.assert_allclose(model.mean.reshape(-1), stacked.mean(axis=0), atol=1e-12)
    cosines = np.abs(np.sum(model.modes.reshape(model.num_modes, -1) * directions[: model.num_modes], axis=1))
    np.testing.assert_allclose(cosines, 1.0, atol=1e-9)
