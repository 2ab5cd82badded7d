"""generic_asc_from_label_map: arguments, errors, the structures it builds, the docstring example."""

import collections
import time
import types

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

# Imported here, not inside a test: importing trimesh keeps the importing frame alive, and with it
# every object that test holds.
try:
    import trimesh
except ImportError:
    trimesh = None

SIGNATURE = (
    "generic_asc_from_label_map(arg0: corvaxis._core.SharedImageSet, arg1: dict[int, str]) "
    "-> corvaxis.anatomy.GenericASC\n"
)


def test_signature_and_no_docstring():
    assert anatomy.generic_asc_from_label_map.__doc__ == SIGNATURE


class NamesDict(dict):
    pass


@pytest.mark.parametrize(
    "mapping",
    [{1: "liver", 3: "spleen"}, {3: "spleen", 1: "liver"}, NamesDict({1: "liver", 3: "spleen"}),
     collections.OrderedDict([(3, "spleen"), (1, "liver")]), {np.int32(1): "liver", True + 2: "spleen"}],
    ids=["dict", "out of order", "dict subclass", "ordered dict", "integer-like keys"],
)
def test_mappings_give_the_same_structures(label_image, organs, mapping):
    asc = anatomy.generic_asc_from_label_map(label_image(organs), mapping)
    assert [asc.anatomical_structure(i).identifier for i in range(asc.num_anatomical_structures())] == [
        "liver", "spleen"]


@pytest.mark.parametrize(
    "arguments",
    [
        lambda image: (image, types.MappingProxyType({1: "liver"})),
        lambda image: (image, [(1, "liver")]),
        lambda image: (image, {"1": "liver"}),
        lambda image: (image, {1.0: "liver"}),
        lambda image: (image, {1: 5}),
        lambda image: (image, {1: b"liver"}),
        lambda image: (image, {2**40: "liver"}),
        lambda image: (image.get(), {1: "liver"}),
        lambda image: (None, {1: "liver"}),
    ],
    ids=["mapping proxy", "list", "str key", "float key", "int value", "bytes value", "key beyond 32 bits",
         "array", "None"],
)
def test_arguments_that_do_not_convert_raise_type_error(label_image, organs, arguments):
    with pytest.raises(TypeError):
        anatomy.generic_asc_from_label_map(*arguments(label_image(organs)))


def test_arguments_are_positional_only(label_image, organs):
    with pytest.raises(TypeError):
        anatomy.generic_asc_from_label_map(arg0=label_image(organs), arg1={1: "liver"})


def test_value_errors_in_their_order(label_image, organs):
    two = label_image(organs)
    two.append(two.get())
    with pytest.raises(ValueError, match="^generic_asc_from_label_map only supports a single image set$"):
        anatomy.generic_asc_from_label_map(two, {1: "liver"})
    two.modality = corvaxis.Modality.CT
    with pytest.raises(ValueError, match="^generic_asc_from_label_map only supports a single image set$"):
        anatomy.generic_asc_from_label_map(two, {1: "liver"})
    with pytest.raises(ValueError, match="^generic_asc_from_label_map only supports a single image set$"):
        anatomy.generic_asc_from_label_map(corvaxis.SharedImageSet(modality=corvaxis.Modality.LABEL), {})
    ct = label_image(organs)
    ct.modality = corvaxis.Modality.CT
    with pytest.raises(ValueError, match="^generic_asc_from_label_map only supports label images$"):
        anatomy.generic_asc_from_label_map(ct, {1: "liver"})


def test_structures_hold_surface_centroid_and_attributes(label_image, organs):
    spacing = (0.8, 1.2, 2.0)
    image = label_image(organs, spacing=spacing)
    asc = anatomy.generic_asc_from_label_map(image, {1: "liver", 2: "kidney", 4: "kidney", 3: "spleen", 9: "absent"})
    assert isinstance(asc, anatomy.GenericASC)
    assert [asc.anatomical_structure(i).identifier for i in range(3)] == ["liver", "kidney", "spleen"]
    pixels = image.get()
    for name, labels in {"liver": [1], "kidney": [2, 4], "spleen": [3]}.items():
        structure = asc.anatomical_structure(name)
        attributes = structure.meshes.attributes["surface"]
        voxels = np.argwhere(np.isin(pixels, labels))  # rows of (z, y, x)
        assert attributes["label"] == min(labels)
        assert attributes["voxel_count"] == len(voxels)
        assert attributes["volume"] == pytest.approx(len(voxels) * np.prod(spacing))
        assert len(attributes["color"]) == 4
        np.testing.assert_allclose(structure.keypoints2["centroid"], voxels[:, ::-1].mean(axis=0) * spacing)
        mesh = structure.meshes["surface"]
        np.testing.assert_array_equal(mesh.matrix, np.eye(4))
        if trimesh is None:
            pytest.skip("trimesh is not installed")
        surface = trimesh.Trimesh(mesh.vertices, mesh.faces, process=False)
        assert surface.is_watertight and surface.is_winding_consistent
        assert surface.volume > 0
        assert len(surface.split(only_watertight=False)) == len(labels)


def test_empty_mapping_and_failures(label_image, organs):
    asc = anatomy.generic_asc_from_label_map(label_image(organs), {})
    assert isinstance(asc, anatomy.GenericASC) and asc.num_anatomical_structures() == 0
    fractional = label_image(organs, dtype=np.float32)
    pixels = fractional.get()
    pixels[0, 0, 0] = 0.5
    broken = corvaxis.SharedImageSet(pixels, modality=corvaxis.Modality.LABEL)
    # A failed conversion gives None and says why.
    with pytest.warns(RuntimeWarning, match="the label image holds the value 0.5, which is not a 32-bit integer label"):
        assert anatomy.generic_asc_from_label_map(broken, {1: "liver"}) is None


def test_calls_give_independent_collections(label_image, organs):
    image = label_image(organs)
    first = anatomy.generic_asc_from_label_map(image, {1: "liver"})
    second = anatomy.generic_asc_from_label_map(image, {1: "liver"})
    assert first is not second
    del first
    assert second.anatomical_structure("liver").meshes["surface"].vertices.shape[0] > 0


def docstring_example(section):
    """The statements of one example of the module docstring, prompts removed."""
    lines = anatomy.__doc__.splitlines()
    start = lines.index(section)
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith("**"))
    return "\n".join(line[4:] for line in lines[start:end] if line.startswith((">>> ", "... ")))


def test_module_docstring_label_map_example_runs(tmp_path, monkeypatch, organs, paint):
    monkeypatch.chdir(tmp_path)
    segmentation = corvaxis.SharedImageSet(paint((24, 28, 32), organs), spacing=(0.9, 0.9, 2.5),
                                           modality=corvaxis.Modality.LABEL)
    corvaxis.save(segmentation, "segmentation.nii")
    namespace = {"anatomy": anatomy, "corvaxis": corvaxis}
    exec(docstring_example("**Creating anatomical structures from label maps:**"), namespace)
    liver = namespace["liver"]
    assert liver.identifier == "liver"
    assert "surface" in liver.meshes
    assert namespace["asc"].anatomical_structure("spleen").identifier == "spleen"
    assert namespace["asc"].anatomical_structure("kidney").identifier == "kidney"


SURFACE = anatomy.GenericASCFromMultiLabelMap.Surface


@pytest.mark.parametrize("surface, decimate", [
    (SURFACE.SMOOTH, 1.0), (SURFACE.VOXEL, 1.0), (SURFACE.SMOOTH, 0.25), (SURFACE.VOXEL, 0.5)])
def test_surface_controls_give_closed_surfaces_of_their_kind(label_image, label_map_surfaces, organs, surface,
                                                             decimate):
    image = label_image(organs, spacing=(0.9, 1.1, 2.0))
    names = {1: "liver", 2: "kidney", 4: "kidney", 3: "spleen"}
    built = label_map_surfaces(image, names, surface=surface, decimate=decimate)
    whole = label_map_surfaces(image, names, surface=surface)
    default = anatomy.generic_asc_from_label_map(image, names)
    for name, (vertices, faces, attributes) in built.items():
        assert attributes["surface"] == surface.name.lower()
        a, b, c = (vertices[faces[:, k]] for k in range(3))
        areas = np.linalg.norm(np.cross(b - a, c - a), axis=1) / 2
        assert attributes["surface_area"] == pytest.approx(areas.sum())
        assert areas.min() > 1e-6
        volume = np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6
        assert volume == pytest.approx(attributes["volume"], rel=0.15 if decimate < 1 else 0.1)
        assert len(faces) <= decimate * len(whole[name][1])
        if trimesh is not None:
            mesh = trimesh.Trimesh(vertices, faces, process=False)
            assert mesh.is_watertight and mesh.is_winding_consistent
            assert len(mesh.split(only_watertight=False)) == (2 if name == "kidney" else 1)
        if (surface, decimate) == (SURFACE.SMOOTH, 1.0):
            # generic_asc_from_label_map runs the algorithm with its defaults.
            np.testing.assert_array_equal(default.anatomical_structure(name).meshes["surface"].vertices, vertices)


def test_touching_labels_share_their_interface_vertices(label_image, label_map_surfaces):
    halves = [((12.0, 14.0, 12.0), (9.0, 8.0, 7.0), 1), ((16.0, 14.0, 12.0), (5.0, 8.0, 7.0), 2)]
    built = label_map_surfaces(label_image(halves), {1: "left", 2: "right"})
    left, right = built["left"][0], built["right"][0]
    distance = np.linalg.norm(left[:, None, :] - right[None, :, :], axis=2).min(axis=1)
    assert (distance == 0).sum() > 50
    assert np.all(distance[distance < 0.3] == 0)


@pytest.mark.parametrize("name, value, message", [
    ("surface", 2, r"parameter 'surface' must be one of 0, 1, not 2"),
    ("surface", -1, r"parameter 'surface' must be one of 0, 1, not -1"),
    ("decimate", 0.0, r"parameter 'decimate' must be in \(0, 1\], not 0"),
    ("decimate", 1.5, r"parameter 'decimate' must be in \(0, 1\], not 1.5"),
    ("decimate", float("nan"), r"parameter 'decimate' must be in \(0, 1\], not nan"),
])
def test_parameters_outside_their_range_are_refused(label_image, organs, name, value, message):
    algorithm = anatomy.GenericASCFromMultiLabelMap(label_image(organs), {1: "liver"})
    with pytest.raises(ValueError, match=f"^{message}"):
        setattr(algorithm, f"p_{name}", value)
    assert algorithm().num_anatomical_structures() == 1


def test_progress_is_reported_and_a_raising_callback_stops(label_image, organs):
    algorithm = anatomy.GenericASCFromMultiLabelMap(label_image(organs), {1: "liver", 3: "spleen"})
    fractions = []
    algorithm.set_progress_callback(lambda fraction, step: fractions.append(fraction))
    assert algorithm().num_anatomical_structures() == 2
    assert fractions == sorted(fractions) and fractions[0] == 0.0 and fractions[-1] >= 0.9

    def stop(fraction, step):
        if fraction > 0.1:
            raise KeyboardInterrupt

    algorithm.set_progress_callback(stop)
    with pytest.raises(KeyboardInterrupt):
        algorithm()
    assert algorithm.status == 4


class Stop(Exception):
    pass


@pytest.mark.heavy(reason="one structure filling a 160³ map, meshed eight times")
@pytest.mark.parametrize("surface, decimate, stop_at", [
    (SURFACE.SMOOTH, 1.0, 0.3),   # building the net, then smoothing
    (SURFACE.SMOOTH, 0.25, 0.7),  # decimating
    (SURFACE.VOXEL, 0.25, 0.7),
    (SURFACE.VOXEL, 1.0, 0.5),    # marching cubes
])
def test_one_large_structure_reports_within_its_steps_and_stops_promptly(label_image, surface, decimate, stop_at):
    image = label_image([((80.0, 80.0, 80.0), (72.0, 64.0, 56.0), 1)], shape=(160, 160, 160))
    algorithm = anatomy.GenericASCFromMultiLabelMap(image, {1: "blob"})
    algorithm.p_surface, algorithm.p_decimate = surface, decimate
    fractions = []
    algorithm.set_progress_callback(lambda fraction, step: fractions.append(fraction))
    start = time.perf_counter()
    algorithm()
    whole = time.perf_counter() - start
    assert fractions == sorted(fractions)
    if decimate < 1:
        # News from inside the decimation of the one structure, not only at its ends.
        assert any(0.6 < fraction < 0.95 for fraction in fractions)

    raised = []

    def stop(fraction, step):
        if fraction >= stop_at:
            raised.append(time.perf_counter())
            raise Stop

    algorithm.set_progress_callback(stop)
    with pytest.raises(Stop):
        algorithm()
    # Generous against load: the run stops within one slice or round, some hundredths of a second.
    assert time.perf_counter() - raised[0] < 0.25 * whole
    assert algorithm.status == corvaxis.Algorithm.Status.CANCELLED and algorithm.results == {}
