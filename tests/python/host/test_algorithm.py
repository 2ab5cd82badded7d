import numpy as np
import pytest

from corvaxis import Algorithm, Mesh, PointCloud, Properties


class Scale(Algorithm):
    """Scales a point cloud; written in Python the way users write their own algorithms."""

    def __init__(self, cloud):
        super().__init__()
        self.cloud = cloud
        self.add_parameter("factor", 2.0)
        self.add_parameter("iterations", 1)
        self.add_parameter("mode", "uniform")
        self.add_parameter("offset", [0.0, 0.0, 0.0])
        self.add_parameter("keep", False)

    def compute(self):
        if self.p_iterations < 1:
            self.set_status(2, "iterations must be positive")
            return
        points = self.cloud.points * self.p_factor ** self.p_iterations + self.p_offset
        self.add_output(PointCloud(points))
        self.add_output(Mesh(points, [[0, 1, 2]]))
        self.set_status(0)


def scale():
    return Scale(PointCloud([[1, 0, 0], [0, 1, 0], [0, 0, 1]]))


def test_compute_and_output():
    algorithm = scale()
    assert algorithm.status == -1 and repr(algorithm) == "<Scale, status=-1>"
    algorithm.p_factor = 3
    algorithm.p_offset = (1, 1, 1)
    algorithm.compute()
    assert algorithm.status == 0 and algorithm.status_message == ""
    cloud, mesh = algorithm.output()
    assert type(cloud) is PointCloud and type(mesh) is Mesh
    assert cloud.points.tolist() == [[4, 1, 1], [1, 4, 1], [1, 1, 4]]
    assert algorithm.output() == []


def test_failures_are_reported_by_status():
    algorithm = scale()
    algorithm.p_iterations = 0
    algorithm.compute()
    assert (algorithm.status, algorithm.status_message) == (2, "iterations must be positive")
    assert algorithm.output() == []


def test_parameters_are_typed_attributes():
    algorithm = scale()
    assert (algorithm.p_factor, algorithm.p_iterations, algorithm.p_mode, algorithm.p_keep) == (2.0, 1, "uniform", False)
    assert isinstance(algorithm.p_factor, float) and algorithm.p_offset.tolist() == [0, 0, 0]
    assert {"p_factor", "p_offset", "compute"} <= set(dir(algorithm))

    with pytest.raises(TypeError) as error:
        algorithm.p_iterations = 1.5
    assert str(error.value) == "parameter 'iterations' must be of type int, got double"
    with pytest.raises(TypeError) as error:
        algorithm.p_mode = 1
    assert str(error.value) == "parameter 'mode' must be of type string, got int"
    with pytest.raises(TypeError) as error:
        algorithm.p_offset = (1, 2)
    assert str(error.value) == "parameter 'offset' must be of type vec3, got vec2"
    with pytest.raises(AttributeError) as error:
        algorithm.p_missing = 1
    assert str(error.value) == "'Scale' object has no parameter 'missing'"
    with pytest.raises(AttributeError) as error:
        algorithm.p_missing
    assert str(error.value) == "'Scale' object has no parameter 'missing'"
    with pytest.raises(AttributeError) as error:
        algorithm.missing
    assert str(error.value) == "'Scale' object has no attribute 'missing'"
    with pytest.raises(ValueError) as error:
        algorithm.add_parameter("factor", 1.0)
    assert str(error.value) == "'Scale' has a parameter 'factor' already"
    assert algorithm.p_iterations == 1


def test_configuration_round_trip():
    source, target = scale(), scale()
    source.p_mode = "per-axis"
    source.p_offset = np.array([1.0, 2.0, 3.0])
    configuration = source.configuration()
    assert configuration["mode"] == "per-axis" and configuration["factor"] == 2.0
    target.configure(configuration)
    assert target.p_mode == "per-axis" and target.p_offset.tolist() == [1, 2, 3]
    target.configure(Properties({"factor": 5}))
    assert target.p_factor == 5.0 and target.p_mode == "per-axis"


def test_base_algorithm():
    with pytest.raises(RuntimeError, match="pure virtual"):
        Algorithm().compute()
    assert Algorithm().output() == []


class Steps(Algorithm):
    """Reports progress at every step and stops when told to."""

    def __init__(self, steps):
        super().__init__()
        self.steps = steps
        self.done = 0

    def compute(self):
        for step in range(self.steps):
            if not self.report_progress(step / self.steps, f"step {step}"):
                self.set_status(4, "cancelled")
                return
            self.done += 1
        self.set_status(0)


@pytest.mark.parametrize("raised", [ValueError("stop"), KeyboardInterrupt()])
def test_progress_callback_and_cancellation(raised):
    algorithm = Steps(4)
    seen = []
    algorithm.set_progress_callback(lambda fraction, step: seen.append((fraction, step)))
    algorithm.compute()
    assert seen == [(0.0, "step 0"), (0.25, "step 1"), (0.5, "step 2"), (0.75, "step 3")]
    assert algorithm.status == 0 and algorithm.results == {}

    def stop_at_second(fraction, step):
        if fraction > 0:
            raise raised

    algorithm = Steps(4)
    algorithm.set_progress_callback(stop_at_second)
    with pytest.raises(type(raised)):
        algorithm.compute()
    assert algorithm.done == 1

    algorithm.set_progress_callback(None)
    algorithm.done = 0
    algorithm.compute()
    assert algorithm.done == 4 and algorithm.status == 0
    with pytest.raises(TypeError):
        algorithm.set_progress_callback(3)
