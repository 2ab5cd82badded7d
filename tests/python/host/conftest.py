"""Factories for collections holding meshes, keypoints, planes, point clouds and graphs, a stand-in
for the styling module, a runner of the command line, and NIfTI files written by nibabel (the peer
reader)."""

import io
import struct
import sys
import types

import numpy as np
import pytest

import corvaxis

CUBE_VERTICES = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)], dtype=float)
CUBE_FACES = np.array([
    [0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
    [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3],
])

def translation(x=0.0, y=0.0, z=0.0):
    matrix = np.eye(4)
    matrix[:3, 3] = (x, y, z)
    return matrix


def cube_mesh(half_size=1.0, center=(0.0, 0.0, 0.0)):
    return corvaxis.Mesh(CUBE_VERTICES * half_size + np.asarray(center, dtype=float), CUBE_FACES)


def make_structure(identifier, *, keypoints=None, planes=None, meshes=None, pointclouds=None, graphs=None,
                   matrix=None):
    import corvaxis.anatomy as anatomy

    structure = anatomy.GenericAnatomicalStructure(identifier)
    if keypoints:
        structure.keypoints2 = keypoints
    if planes:
        structure.planes = planes
    if meshes:
        structure.meshes = meshes
    if pointclouds:
        structure.pointclouds = pointclouds
    if graphs:
        structure.graphs = graphs
    if matrix is not None:
        structure.matrix_to_world = matrix
    return structure


def make_collection(*structures):
    import corvaxis.anatomy as anatomy

    collection = anatomy.GenericASC()
    for structure in structures:
        collection.add(structure)
    return collection


@pytest.fixture(name="make_structure")
def structure_factory():
    return make_structure


@pytest.fixture(name="make_collection")
def collection_factory():
    return make_collection


@pytest.fixture(name="cube_mesh")
def cube_mesh_factory():
    return cube_mesh


@pytest.fixture(name="translation")
def translation_factory():
    return translation


def write_box_population(folder, count=4):
    """count collections of one structure "box" whose cube meshes correspond vertex by vertex and
    differ in their proportions, saved as folder/box_N.cvx; returns the paths."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for index in range(count):
        stretch = np.array([1.0 + 0.2 * index, 1.0 - 0.1 * index, 1.0 + 0.05 * index * index])
        mesh = corvaxis.Mesh(CUBE_VERTICES * 5.0 * stretch, CUBE_FACES)
        paths.append(folder / f"box_{index}.cvx")
        corvaxis.save(make_collection(make_structure("box", meshes={"surface": mesh})), paths[-1])
    return paths


@pytest.fixture(name="write_box_population")
def box_population_writer():
    return write_box_population


class TerminalStream(io.StringIO):
    """A text stream that says it is a terminal, as standard error is when a user watches."""

    def isatty(self):
        return True


@pytest.fixture(name="terminal_stream")
def terminal_stream_class():
    return TerminalStream


@pytest.fixture
def sample_collection():
    """One structure of every drawable kind, spread apart so that each is seen on its own."""
    nodes = np.array([[0, 0, -10], [0, 0, 0], [5, 0, 5]], dtype=float)
    return make_collection(
        make_structure("liver", meshes={"surface": cube_mesh(4.0)}, keypoints={"tip": [0.0, 0.0, 6.0]},
                       planes={"cut": [0.0, 0.0, 1.0, 8.0]}, matrix=translation(x=-15)),
        make_structure("kidney", pointclouds={"samples": corvaxis.PointCloud(
            np.random.default_rng(3).normal(size=(40, 3)))}, matrix=translation(x=15)),
        make_structure("aorta", graphs={"centerline": corvaxis.Graph(nodes, np.array([[0, 1], [1, 2]]))}),
    )


class FakeStyling:
    """Stands in for corvaxis.styling: resolve answers from a table of (identifier, kind, key)."""

    def __init__(self):
        self.table = {}

    def set(self, identifier, kind, key="", **style):
        self.table.setdefault((identifier, kind, key), {}).update(style)

    def resolve(self, collection, identifier, kind, key):
        # General to specific, as the styling module does: the structure's style, then the object's.
        style = dict(self.table.get((identifier, "structure", ""), {}))
        style.update(self.table.get((identifier, kind, key), {}))
        return style


@pytest.fixture
def fake_styling(monkeypatch):
    styling = FakeStyling()
    module = types.ModuleType("corvaxis.styling")
    module.resolve = styling.resolve
    monkeypatch.setitem(sys.modules, "corvaxis.styling", module)
    monkeypatch.setattr(corvaxis, "styling", module, raising=False)
    return styling


@pytest.fixture
def without_styling(monkeypatch):
    """Renders with the built-in defaults even where the styling module exists."""
    monkeypatch.setitem(sys.modules, "corvaxis.styling", None)
    monkeypatch.delattr(corvaxis, "styling", raising=False)


@pytest.fixture
def run_cli(capsys):
    """Runs the command line in this process: (exit status, standard output, standard error)."""
    from corvaxis import cli

    def run(*arguments):
        try:
            status = cli.main([str(argument) for argument in arguments])
        except SystemExit as exit:
            status = exit.code
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    return run



@pytest.fixture
def nibabel():
    return pytest.importorskip("nibabel")


@pytest.fixture
def write_nifti(tmp_path, nibabel):
    """write_nifti(data, name, sform=..., qform=..., intent=None, slope_inter=None, version=1,
    endian="<") -> path.

    ``data`` is indexed [i, j, k(, t)] as nibabel holds it; a transform given as None is left unset
    (code 0). A name ending in .hdr or .img (.img.gz) gives a pair, ``endian=">"`` a big-endian file.
    """

    def write(data, name="image.nii", sform=None, qform=None, intent=None, slope_inter=None, version=1,
              endian="<"):
        image_class = nibabel.Nifti1Image if version == 1 else nibabel.Nifti2Image
        header_class = nibabel.Nifti1Header if version == 1 else nibabel.Nifti2Header
        image = image_class(np.asarray(data), None, header=header_class(endianness=endian))
        image.set_sform(sform, code=0 if sform is None else 2)
        image.set_qform(qform, code=0 if qform is None else 1)
        if intent is not None:
            image.header.set_intent(intent)
        if slope_inter is not None:
            image.header.set_slope_inter(*slope_inter)
        path = tmp_path / name
        nibabel.save(image, path)
        if qform is None and sform is None:
            # nibabel stores a transform of its own; clear both codes in the header itself.
            content = bytearray(path.read_bytes())
            assert version == 1 and not name.endswith(".gz")
            content[252:256] = struct.pack(endian + "hh", 0, 0)
            content[80:92] = struct.pack(endian + "fff", 1.5, 0.75, 2.0)
            path.write_bytes(bytes(content))
        return path

    return write


def awkward_affine(seed=0):
    """A voxel-to-world affine that is rotated, anisotropic, left-handed (negative determinant)
    and shifted, with values that no decomposition into spacing and rotation reproduces bit for bit."""
    rng = np.random.default_rng(seed)
    rotation, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    if np.linalg.det(rotation) > 0:
        rotation[:, 0] *= -1.0
    affine = np.eye(4)
    affine[:3, :3] = rotation * rng.uniform(0.3, 3.0, 3)
    affine[:3, 3] = rng.uniform(-120.0, 120.0, 3)
    return affine


@pytest.fixture(name="awkward_affine")
def awkward_affine_factory():
    return awkward_affine


@pytest.fixture
def shaped_mesh():
    """A cube mesh with per-vertex normals and a rotated, shifted matrix of its own."""
    mesh = cube_mesh(2.5, center=(1.0, -2.0, 0.5))
    mesh.normals = CUBE_VERTICES / np.linalg.norm(CUBE_VERTICES, axis=1, keepdims=True)
    matrix = awkward_affine(7)
    matrix[:3, :3] /= np.abs(np.linalg.det(matrix[:3, :3])) ** (1 / 3)
    mesh.matrix = matrix
    return mesh



def write_cohort(folder, subjects=4, *, seed=5, shape=(16, 20, 24), spacing=(3.0, 3.0, 3.0), broken=(), without=None):
    """Label maps subject_NN.nii.gz of a small cohort: a liver- and a kidney-like ellipsoid (labels
    1 and 2) varying in size and position, each map placed by its own rotated, shifted matrix.
    ``broken`` names extra files that hold no image (BROKEN.nii.gz); ``without`` = (index, label)
    leaves a label out of one subject. Returns the paths, sorted."""
    rng = np.random.default_rng(seed)
    folder.mkdir(parents=True, exist_ok=True)
    z, y, x = np.indices(shape)
    positions = np.stack([x, y, z], axis=-1) * spacing - (np.array(shape[::-1]) - 1) * spacing / 2
    paths = []
    for index in range(subjects):
        labels = np.zeros(shape, dtype=np.uint8)
        organs = [(1, np.array([-6.0, 0.0, 0.0]), np.array([16.0, 11.0, 8.0])),
                  (2, np.array([14.0, 4.0, -2.0]), np.array([6.0, 8.0, 5.0]))]
        for label, centre, semi_axes in organs:
            if without == (index, label):
                continue
            centre = centre + rng.normal(0.0, 1.0, 3)
            semi_axes = semi_axes * rng.normal(1.0, 0.08) * rng.normal(1.0, 0.04, 3)
            labels[(((positions - centre) / semi_axes) ** 2).sum(axis=-1) <= 1.0] = label
        image = corvaxis.SharedImageSet(labels, spacing=spacing, modality=corvaxis.Modality.LABEL)
        angle = rng.uniform(-0.15, 0.15)
        pose = np.eye(4)
        pose[:2, :2] = [[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]]
        pose[:3, 3] = rng.uniform(-5.0, 5.0, 3)
        image.voxel_to_world = pose @ image.voxel_to_world
        path = folder / f"subject_{index:02d}.nii.gz"
        corvaxis.save(image, path)
        paths.append(path)
    for name in broken:
        path = folder / f"{name}.nii.gz"
        path.write_bytes(b"not an image at all")
        paths.append(path)
    return sorted(paths)


@pytest.fixture(name="write_cohort", scope="session")
def cohort_factory():
    return write_cohort
