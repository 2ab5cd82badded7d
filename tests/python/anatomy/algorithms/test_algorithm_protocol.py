"""The one way every algorithm runs: parameters refused where they are assigned, progress and styling
callbacks that attack what is being computed ending in RuntimeError or a clean result (never a crash),
and inputs without a meaningful result failing with a message."""

import gc
import os

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy

Method = anatomy.ASCRegistration.RegistrationMethod
Status = corvaxis.Algorithm.Status
IN_USE = "is in use by a running compute"


def empty_registration():
    return anatomy.ASCRegistration(anatomy.GenericASC(), anatomy.GenericASC())


REFUSED = [
    # parameter, value, what the message says
    ("registrationMethod", 7, "parameter 'registrationMethod' must be one of 1, 2, 3, 4, not 7"),
    ("imageMetric", 3, "parameter 'imageMetric' must be one of 0, 1, 2, not 3"),
    ("imageMetric", 99, "must be one of 0, 1, 2, not 99"),
    ("imageMetric", -1, "must be one of 0, 1, 2, not -1"),
    ("histogramBins", 10000, "parameter 'histogramBins' must be from 8 to 512, not 10000"),
    ("histogramBins", 4, "must be from 8 to 512, not 4"),
    ("imageSamples", 1, "parameter 'imageSamples' must be 0 (every voxel) or at least 1000, not 1"),
    ("imageLevels", 0, "must be from 1 to 8, not 0"),
    ("kernelWidth", 0.0, "parameter 'kernelWidth' must be positive and finite, not 0"),
    ("smoothness", -1.0, "must be positive and finite, not -1"),
    ("outlierWeight", 1.0, "must be at least 0 and below 1, not 1"),
    ("planeWeight", -1.0, "parameter 'planeWeight' must be finite and not negative, not -1"),
    ("planeWeight", float("nan"), "must be finite and not negative, not nan"),
    ("kernelRank", 0, "must be from 1 to 5000, not 0"),
    ("batchSize", 0, "parameter 'batchSize' must be at least 1, not 0"),
    ("alignment", 7, "parameter 'alignment' must be one of 0, 1, 2, not 7"),
    ("numModes", -1, "must be at least 0, not -1"),
    ("tolerance", float("inf"), "must be finite and not negative, not inf"),
    ("inputDirectory", "/tmp\0/training", "parameter 'inputDirectory' must be a path without NUL characters, "
                                          "not '/tmp\\0/training'"),
]


@pytest.mark.parametrize("parameter, value, message", REFUSED, ids=[f"{p}={v!r}" for p, v, _ in REFUSED])
def test_parameters_refuse_values_outside_their_range(parameter, value, message):
    shape_model_parameters = {"batchSize", "alignment", "numModes", "tolerance", "inputDirectory"}
    algorithm = anatomy.GenerateLinearShapeModel(None) if parameter in shape_model_parameters else empty_registration()
    before = getattr(algorithm, f"p_{parameter}")
    with pytest.raises(ValueError) as error:
        setattr(algorithm, f"p_{parameter}", value)
    assert str(error.value) == message or message in str(error.value)
    assert getattr(algorithm, f"p_{parameter}") == before


class Stop(Exception):
    pass


class Case:
    """One algorithm on small inputs, and what a hostile callback does to them."""

    def __init__(self, algorithm, collections, run, parameter, late_step):
        self.algorithm, self.collections, self.run = algorithm, collections, run
        self.parameter, self.late_step = parameter, late_step

    def remove(self):
        for collection in self.collections:
            for index in range(collection.num_anatomical_structures()):
                structure = collection.anatomical_structure(index)
                for store in (structure.meshes, structure.images, structure.keypoints2):
                    for key in store.keys():
                        del store[key]

    def replace(self):
        for collection in self.collections:
            for index in range(collection.num_anatomical_structures()):
                structure = collection.anatomical_structure(index)
                for key in structure.meshes.keys():
                    structure.meshes[key] = corvaxis.Mesh(np.eye(4)[:, :3] * 7, [[0, 1, 2], [0, 2, 3]])
                for key in structure.images.keys():
                    structure.images[key] = corvaxis.SharedImageSet(np.zeros((5, 5, 5), np.float32))

    def pop(self):
        for collection in self.collections:
            while collection.num_anatomical_structures():
                collection.pop(0)

    def delete(self):
        # Whatever the caller held goes; the algorithm keeps what it computes on.
        self.collections.clear()
        gc.collect()

    def compute_again(self):
        self.algorithm.compute()


def registration_case(kit, method):
    fixed, moving = {
        Method.PointsAndPlanes: lambda: kit.registration_pair(kit.similarity(20, translation=(1, 2, 3)),
                                                               points={k: p for k, p in zip("abcd", np.eye(4, 3) * 9)}),
        Method.DeformableMeshRegistration: kit.small_mesh_pair,
        Method.RigidImages: kit.small_image_pair,
    }[method]()
    registration = anatomy.ASCRegistration(fixed, moving)
    registration.registration_method = method
    return Case(registration, [fixed, moving], registration.compute, ("p_planeWeight", 2.0), "Moving the collection")


def shape_model_case(make_population):
    population = make_population(count=4, name=f"training{os.urandom(4).hex()}")
    generator = anatomy.GenerateLinearShapeModel(population.template)
    generator.p_inputDirectory = str(population.directory)
    return Case(generator, [population.template], generator.compute, ("p_batchSize", 3), "Computing the principal modes")


ALGORITHMS = ["points", "deformable", "images", "shape model"]
ACTIONS = ["remove", "replace", "pop", "delete", "compute again", "parameter", "raise"]


@pytest.mark.parametrize("moment", ["early", "late"])
@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("name", ALGORITHMS)
def test_hostile_progress_callbacks_end_in_runtime_error_or_a_clean_result(registration_kit, make_population, name,
                                                                           action, moment):
    methods = {"points": Method.PointsAndPlanes, "deformable": Method.DeformableMeshRegistration,
               "images": Method.RigidImages}
    case = shape_model_case(make_population) if name == "shape model" else registration_case(registration_kit, methods[name])
    acted = []

    def callback(fraction, step):
        # Early: the first report after the inputs were looked at; late: the last chance to stop.
        if acted or (step != case.late_step if moment == "late" else fraction == 0.0):
            return
        acted.append(step)
        if action == "raise":
            raise Stop(step)
        if action == "parameter":
            setattr(case.algorithm, *case.parameter)
        else:
            getattr(case, action.replace(" ", "_"))()

    case.algorithm.set_progress_callback(callback)
    try:
        case.run()
        raised = None
    except (RuntimeError, Stop) as error:
        raised = error
    assert acted and not case.algorithm.computing
    status = case.algorithm.status
    assert isinstance(status, Status)
    if action in ("compute again", "parameter"):
        assert isinstance(raised, RuntimeError) and IN_USE in str(raised)
    if action == "raise":
        assert isinstance(raised, Stop)
    if raised is not None:
        assert status == Status.CANCELLED and case.algorithm.results == {}
    elif status == Status.SUCCESS:
        assert case.algorithm.status_message == "" and case.algorithm.results
    else:
        assert case.algorithm.status_message and case.algorithm.results == {}


STYLING_ACTIONS = {
    # what the callback of a sheet reached through the display options does to them
    "remove": lambda options, collection: options.remove_style_sheets_by_name("look"),
    "replace": lambda options, collection: options.add_style_sheet(anatomy.StyleSheet("other"), None),
    "load": lambda options, collection: options.configure(options.configuration()),
    "add options": lambda options, collection: collection.components.add(anatomy.ASCDisplayOptions()),
    "pop": lambda options, collection: collection.pop(0),
    "modify again": lambda options, collection: options.get_or_append_style_sheet("look", None).append_or_modify(
        "#liver", lambda block: None),
}


@pytest.mark.parametrize("action", STYLING_ACTIONS)
def test_hostile_styling_callbacks_end_in_runtime_error_or_a_clean_result(registration_kit, action):
    collection = registration_kit.build_collection({"liver": {}})
    options = collection.components.add(anatomy.ASCDisplayOptions())
    sheet = options.get_or_append_style_sheet("look", None)

    def callback(block):
        block["color"] = np.array([1.0, 0.0, 0.0, 1.0])
        STYLING_ACTIONS[action](options, collection)

    try:
        applied = sheet.append_or_modify("#liver", callback)
    except RuntimeError as error:
        assert "get it again with get_or_append_style_sheet" in str(error)
    else:
        assert applied is True and repr(sheet).endswith("size='1'>")


DEGENERATE = [
    # name, what fails and why
    ("closed surface onto a flat one", "collapsed the moving meshes"),
    ("constant fixed image", "The fixed image has no content"),
    ("fixed image all NaN", "The fixed image has no content"),
    ("fixed image all infinite", "The fixed image has no content"),
    ("only a symbolic-link loop to train on", "0 of 1 files"),
]


@pytest.mark.parametrize("name, message", DEGENERATE, ids=[d[0] for d in DEGENERATE])
def test_inputs_without_a_meaningful_result_fail_with_a_message(registration_kit, tmp_path, name, message):
    kit = registration_kit
    if name.startswith("only"):
        (tmp_path / "loop.cvx").symlink_to(tmp_path / "loop.cvx")
        algorithm = anatomy.GenerateLinearShapeModel(kit.small_mesh_pair()[0])
        algorithm.p_inputDirectory = str(tmp_path)
        before = None
    else:
        fill = {"constant": 3.0, "fixed image all NaN": np.nan, "fixed image all infinite": np.inf}
        fixed, moving = (kit.small_mesh_pair(kit.flat_square(8)) if name.startswith("closed")
                         else kit.small_image_pair(fixed_fill=fill.get(name, fill["constant"])))
        algorithm = anatomy.ASCRegistration(fixed, moving)
        algorithm.registration_method = (Method.DeformableMeshRegistration if name.startswith("closed")
                                         else Method.RigidImages)
        before = kit.snapshot(moving)
    algorithm.compute()
    assert algorithm.status != Status.SUCCESS and message in algorithm.status_message
    assert algorithm.results == {}
    if before is not None:
        kit.assert_same_snapshot(before, kit.snapshot(moving))
