"""Synthetic shape populations: a template collection with keypoints and a mesh (whose matrix is
not the identity, so that world coordinates matter), and training files made from a known mean,
known orthogonal modes with exact sample variances, random similarity transformations and noise;
and the benchmarks' bridge to elastix, the image registration peer, where elastix is installed."""

import dataclasses
import importlib.util
import pathlib
import shutil

import h5py
import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

MESH_MATRIX = np.array([[0, -1, 0, 30], [1, 0, 0, -10], [0, 0, 1, 5], [0, 0, 0, 1]], dtype=float)
KEYPOINTS = ("apex", "base", "tip")
NUM_VERTICES = 60
TRUE_STANDARD_DEVIATIONS = np.array([6.0, 3.0, 1.5])


@dataclasses.dataclass
class Population:
    """Files written by the factory and what they were made from (points in model order:
    keypoints of "bone" by key, then the vertices of its mesh "surface", then "organ")."""

    directory: object
    template: object
    mean: np.ndarray
    modes: np.ndarray
    standard_deviations: np.ndarray
    files: list


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


def similarity_tangent(points):
    """Orthonormal basis (columns, 3P x 7) of the directions that translate, rotate or scale points."""
    centred = points - points.mean(axis=0)
    directions = [np.tile(axis, (len(points), 1)) for axis in np.eye(3)]
    directions += [np.cross(axis, centred) for axis in np.eye(3)]
    directions.append(centred)
    basis, _ = np.linalg.qr(np.stack([d.reshape(-1) for d in directions], axis=1))
    return basis


def collection_at(points, faces):
    """A GenericASC with the template's structures at the given model points (P, 3)."""
    asc = anatomy.GenericASC()
    bone = anatomy.GenericAnatomicalStructure("bone")
    bone.keypoints2 = {key: points[i] for i, key in enumerate(KEYPOINTS)}
    world = points[len(KEYPOINTS):len(KEYPOINTS) + NUM_VERTICES]
    to_local = np.linalg.inv(MESH_MATRIX)
    surface = corvaxis.Mesh(world @ to_local[:3, :3].T + to_local[:3, 3], faces)
    surface.matrix = MESH_MATRIX
    bone.meshes["surface"] = surface
    asc.add(bone)
    organ = anatomy.GenericAnatomicalStructure("organ")
    organ.keypoints2["centre"] = points[-1]
    asc.add(organ)
    return asc


FACES = np.array([[i, i + 1, i + 2] for i in range(NUM_VERTICES - 2)])


@pytest.fixture
def faces():
    return FACES


@pytest.fixture
def build_collection():
    """collection_at(points, faces): a collection of the template's structures at those points."""
    return collection_at


@pytest.fixture
def true_mean():
    rng = np.random.default_rng(11)
    return rng.normal(scale=20.0, size=(len(KEYPOINTS) + NUM_VERTICES + 1, 3))


@pytest.fixture
def template(true_mean):
    return collection_at(true_mean, FACES)


@pytest.fixture
def make_population(tmp_path, true_mean, template):
    """Writes count training files to a fresh directory: mean + sum of b_k sd_k mode_k, moved by a
    random similarity (when moved), plus noise. The coefficients are centred and decorrelated so
    that the sample variances are exactly the true ones."""

    def make(count=40, noise=0.02, moved=True, seed=5, name="training"):
        rng = np.random.default_rng(seed)
        dimension = true_mean.size
        raw = rng.normal(size=(dimension, len(TRUE_STANDARD_DEVIATIONS)))
        tangent = similarity_tangent(true_mean)
        raw -= tangent @ (tangent.T @ raw)
        modes, _ = np.linalg.qr(raw)
        coefficients = rng.normal(size=(count, len(TRUE_STANDARD_DEVIATIONS)))
        if count > len(TRUE_STANDARD_DEVIATIONS):
            coefficients -= coefficients.mean(axis=0)
            coefficients, _ = np.linalg.qr(coefficients)
            coefficients *= np.sqrt(count - 1)
        coefficients *= TRUE_STANDARD_DEVIATIONS
        directory = tmp_path / name
        directory.mkdir()
        files = []
        for index in range(count):
            shape = true_mean + (modes @ coefficients[index]).reshape(-1, 3)
            if moved:
                shape = rng.uniform(0.8, 1.25) * shape @ random_rotation(rng).T + rng.uniform(-20, 20, size=3)
            shape = shape + rng.normal(scale=noise, size=shape.shape)
            path = directory / f"shape_{index:03d}.cvx"
            corvaxis.save(collection_at(shape, FACES), path)
            files.append(path)
        return Population(directory, template, true_mean, modes.T.reshape(-1, *true_mean.shape),
                          TRUE_STANDARD_DEVIATIONS, files)

    return make


@pytest.fixture
def generator(template):
    """A shape model generator over the template; the directory is set by the test."""

    def make(directory, **parameters):
        algorithm = anatomy.GenerateLinearShapeModel(template)
        algorithm.p_inputDirectory = str(directory)
        for name, value in parameters.items():
            setattr(algorithm, f"p_{name}", value)
        return algorithm

    return make


def _numbered(group):
    return [group[name] for name in sorted(group, key=int)]


def _text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


# Stored value types of a Properties value, by Python type (see docs/file-format.md).
_STORED_VALUES = {int: (2, np.int32), float: (3, np.float64), str: (4, lambda text: np.bytes_(text.encode()))}


@pytest.fixture
def forge_model(tmp_path, reseal):
    """forge_model(collection, block, field, value): a shape model collection saved, one value of its
    description (the attributes of the point cloud "modes") forged in the file, and opened again.
    block is None for the description itself or (name, index) for a sub-block, ("part", 1) say."""

    def forge(collection, block, field, value):
        path = tmp_path / "forged.cvx"
        corvaxis.save(collection, path)

        def change(stored):
            found = []
            stored.visititems(lambda _, item: found.append(item) if isinstance(item, h5py.Group)
                              and _text(item.attrs.get("key", b"")) == "modes" and "attributes" in item else None)
            tree = found[0]["attributes"]
            if block is not None:
                name, index = block
                tree = [sub for sub in _numbered(tree["blocks"]) if _text(sub.attrs["name"]) == name][index]
            (param,) = [param for param in _numbered(tree["params"]) if _text(param.attrs["name"]) == field]
            code, convert = _STORED_VALUES[type(value)]
            del param.attrs["value"]
            param.attrs["value"] = convert(value)
            param.attrs["value_type"] = np.uint32(code)
            param.attrs["type"] = np.uint32(0)

        reseal(path, change)
        return corvaxis.open(path)

    return forge


@pytest.fixture(scope="session")
def elastix_peer():
    """benchmarks/elastix_peer.py as a module; skips the test where elastix is not installed."""
    if not (shutil.which("elastix") and shutil.which("transformix")):
        pytest.skip("elastix is not installed")
    path = pathlib.Path(__file__).resolve().parents[4] / "benchmarks" / "elastix_peer.py"
    spec = importlib.util.spec_from_file_location("elastix_peer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
