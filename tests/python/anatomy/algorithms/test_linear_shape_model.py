"""corvaxis.shape_model.LinearShapeModel: the model layout round-trips through a file; instance and
project invert each other, also for shapes moved in space; malformed collections are refused;
the module docstring's shape-model example runs as written."""

import re

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis.shape_model import LinearShapeModel


@pytest.fixture
def trained(make_population, generator, tmp_path):
    """A model trained on 20 shapes, saved and opened again, beside the model as computed."""
    population = make_population(count=20)
    computed = generator(population.directory, updateMean=True)()["shape_model"]
    path = tmp_path / "model.cvx"
    corvaxis.save(computed, path)
    return LinearShapeModel(computed), LinearShapeModel(corvaxis.open(path))


def test_layout_round_trips_through_a_file(trained):
    computed, opened = trained
    for name in ("mean", "modes", "variances"):
        np.testing.assert_array_equal(getattr(opened, name), getattr(computed, name))
    assert (opened.num_modes, opened.num_points, opened.alignment) == (19, 64, "similarity")
    assert repr(opened) == "<LinearShapeModel, points=64, modes=19, alignment='similarity'>"


@pytest.mark.parametrize("coefficients", [[0.0] * 3, [2.0, -1.0, 0.5], [-3.0, 0.0, 3.0], "every mode"])
@pytest.mark.parametrize("moved", [False, True])
def test_project_inverts_instance(trained, coefficients, moved):
    _, model = trained
    b = np.zeros(model.num_modes)
    if coefficients == "every mode":
        # The modes of least variance (the noise) are where a pose that has not settled shows most.
        b = 1.5 * (-1.0) ** np.arange(model.num_modes)
    else:
        b[:3] = coefficients
    shape = model.instance(b)
    assert shape.anatomical_structure_identifiers() == ["bone", "organ"]
    np.testing.assert_allclose(model.shape_points(shape), model.points(b), atol=1e-9)
    if not any(coefficients):
        np.testing.assert_allclose(model.shape_points(shape), model.mean, atol=1e-9)
    if moved:
        # Rotated, scaled and shifted: the similarity alignment of project takes it back.
        angle = 0.7
        rotation = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
        matrix = np.eye(4)
        matrix[:3, :3], matrix[:3, 3] = 1.3 * rotation, [5.0, -40.0, 12.0]
        for identifier in ("bone", "organ"):
            structure = shape.anatomical_structure(identifier)
            structure.keypoints2 = {key: matrix[:3, :3] @ p + matrix[:3, 3]
                                    for key, p in structure.keypoints2.asdict().items()}
        surface = shape.anatomical_structure("bone").meshes["surface"]
        surface.matrix = matrix @ surface.matrix
        shape.anatomical_structure("bone").meshes["surface"] = surface
    np.testing.assert_allclose(model.project(shape), b, atol=1e-6)
    if moved and coefficients == "every mode":
        with pytest.raises(RuntimeError, match="did not settle in 1 rounds"):
            model.project(shape, max_iterations=1)


@pytest.mark.parametrize("coefficients, message", [
    ([1.0], r"coefficients must have shape \(19,\)"),
    ([np.nan] * 19, "coefficients must be finite"),
])
def test_instance_refuses_bad_coefficients(trained, coefficients, message):
    with pytest.raises(ValueError, match=message):
        trained[1].instance(coefficients)


@pytest.mark.parametrize("damage, error, message", [
    ("no_model", ValueError, "holds no structure 'shape_model'"),
    ("no_modes", ValueError, "lacks the point cloud 'mean' or 'modes'"),
    ("short_modes", ValueError, "is inconsistent"),
])
def test_malformed_models_are_refused(make_population, generator, damage, error, message):
    population = make_population(count=5)
    collection = generator(population.directory)()["shape_model"]
    if damage == "no_model":
        collection.pop("shape_model")
    else:
        clouds = collection.anatomical_structure("shape_model").pointclouds
        if damage == "no_modes":
            del clouds["modes"]
        else:
            clouds["modes"] = corvaxis.PointCloud(clouds["modes"].points[:-1])
    with pytest.raises(error, match=message):
        LinearShapeModel(collection)


@pytest.mark.parametrize("block, field, value, message", [
    (None, "alignment", "shear", "alignment 'shear' is none of"),
    (None, "num_points", "many", "field 'num_points' must be int, got str"),
    (("mode", 1), "variance", -1.0, "mode 1: variance -1.0 is not a positive"),
    (("mode", 0), "variance", 0.0, "mode 0: variance 0.0 is not a positive"),
    (("part", 0), "store", "images", "part 0: store 'images' is none of"),
    (("part", 1), "offset", 999, "part 1: offset 999 is not 1"),
    (("part", 4), "count", 5, "part 4: count 5 does not fit"),
    (("part", 0), "count", 2, "part 0: count 2 is not the 1 points of keypoint 'apex'"),
    (("part", 3), "count", 59, "part 3: count 59 is not the 60 points of mesh 'surface'"),
    (("part", 2), "key", "apex", "part 2: keypoint 'apex' of structure 'bone' appears twice"),
    (("part", 2), "key", "missing", "part 2: structure 'bone' has no keypoint 'missing'"),
    (("part", 4), "structure", "spleen", "part 4: structure 'spleen' is not in the collection"),
])
def test_forged_models_are_refused_naming_the_field(make_population, generator, forge_model, block, field, value,
                                                     message):
    computed = generator(make_population(count=5).directory)()["shape_model"]
    LinearShapeModel(forge_model(computed, None, "alignment", "rigid"))  # a forged value that is valid
    with pytest.raises(ValueError, match=re.escape(message)):
        LinearShapeModel(forge_model(computed, block, field, value))


def test_project_names_what_a_collection_lacks(trained, build_collection, faces):
    model = trained[1]
    shape = model.instance(np.zeros(model.num_modes))
    shape.pop("organ")
    with pytest.raises(KeyError, match="no structure 'organ'"):
        model.project(shape)


def test_module_docstring_example_runs(make_population, tmp_path, monkeypatch):
    population = make_population(count=5)
    corvaxis.save(population.template, tmp_path / "mean_template.cvx")
    lines = anatomy.__doc__.splitlines()
    start = lines.index("**Shape model generation:**")
    # The docstring's imports come first, then the shape-model section as written.
    imports = [line[4:] for line in lines[:start] if line.startswith(">>> import ")]
    example = [line[4:] for line in lines[start:] if line.startswith(">>> ")]
    assert imports == ["import corvaxis.anatomy as anatomy", "import corvaxis"]
    assert example[-1] == 'updated_mean = results.get("mean")'
    source = "\n".join(imports + example).replace("/path/to/training/data", str(population.directory))
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(compile(source, "docstring example", "exec"), namespace)
    assert type(namespace["shape_model"]) is anatomy.GenericASC
    assert namespace["updated_mean"] is None
    assert LinearShapeModel(namespace["shape_model"]).num_modes == 4
