"""The cohort job: a small generated cohort with one broken file, through the command line and
corvaxis.cohort.run, on local processes and a Dask cluster."""

import csv
import json
import os
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

import corvaxis
from corvaxis import cohort
from corvaxis.cohort.measure import surface_distances
from corvaxis.cohort.model import median_subject

COHORT_LABELS = {1: "liver", 2: "kidney"}
LABELS = ",".join(f"{value}={name}" for value, name in COHORT_LABELS.items())
SUBJECTS = [f"subject_{index:02d}" for index in range(4)]


def outputs(out):
    """{relative path: modification time} of every collection, model and picture written."""
    found = {}
    for folder in ("collections", "corresponded", ""):
        for name in sorted(os.listdir(out / folder)):
            if name.endswith((".cvx", ".png")):
                found[os.path.join(folder, name)] = os.stat(out / folder / name).st_mtime_ns
    return found


def statistics(out):
    with open(out / "statistics.csv", newline="") as file:
        return list(csv.reader(file))


def model_points(out):
    from corvaxis.shape_model import LinearShapeModel

    model = LinearShapeModel(corvaxis.open(out / "shape_model.cvx"))
    return model.mean, model.modes, model.variances


@pytest.fixture(scope="module")
def cohort_inputs(tmp_path_factory, write_cohort):
    return write_cohort(tmp_path_factory.mktemp("maps"), broken=["subject_99"])


@pytest.fixture(scope="module")
def first_run(cohort_inputs, tmp_path_factory):
    """The command over the cohort with one worker: (output folder, status, stdout, stderr)."""
    out = tmp_path_factory.mktemp("cohort") / "out"
    completed = subprocess.run([sys.executable, "-m", "corvaxis", "cohort", *map(str, cohort_inputs), "-o", str(out),
                                "--labels", LABELS, "--workers", "1"], capture_output=True, text=True, timeout=600)
    return out, completed.returncode, completed.stdout, completed.stderr


def test_one_broken_subject_is_reported_and_the_rest_goes_on(first_run):
    out, status, stdout, stderr = first_run
    assert status == cohort.EXIT_SOME_FAILED, stderr
    assert "subject_99: failed:" in stderr and "Traceback" not in stderr
    report = json.loads((out / "report.json").read_text())
    assert report["done"] == SUBJECTS and report["exit_status"] == 3
    assert [(f["subject"], f["step"]) for f in report["failed"]] == [("subject_99", "collections")]
    assert report["model"]["built"] and report["model"]["subjects"] == 4
    assert report["template"]["subject"] in SUBJECTS
    assert {"collections: label map", "registration: registration", "shape model", "pictures"} <= set(report["times"]["steps_s"])
    expected = {os.path.join(folder, s + ".cvx") for folder in ("collections", "corresponded") for s in SUBJECTS}
    expected |= {"template.cvx", "shape_model.cvx", "shape_mode_1.png", "shape_mode_2.png", "shape_mode_3.png"}
    assert set(outputs(out)) == expected
    assert not [name for name in os.listdir(out) if name.startswith(".") and name != ".cohort"]


def test_statistics_hold_one_row_per_subject_and_structure(first_run):
    out = first_run[0]
    template = json.loads((out / "report.json").read_text())["template"]["subject"]
    header, *rows = statistics(out)
    assert tuple(header) == cohort.COLUMNS
    assert [(row[0], row[1]) for row in rows] == [(s, name) for s in SUBJECTS for name in ("kidney", "liver")]
    for row in rows:
        values = dict(zip(header, row))
        assert values["label"] == {"liver": "1", "kidney": "2"}[values["structure"]]
        assert float(values["volume_mm3"]) == pytest.approx(27.0 * int(values["voxel_count"]))
        # A closed surface around the voxels encloses about their volume: area against a sphere's.
        radius = (3 * float(values["volume_mm3"]) / (4 * np.pi)) ** (1 / 3)
        assert 1.0 < float(values["surface_area_mm2"]) / (4 * np.pi * radius**2) < 1.6
        if values["subject"] != template:
            assert float(values["rms_after_mm"]) < float(values["rms_before_mm"])
        assert float(values["mean_surface_distance_mm"]) < 1.5


def test_rerun_recomputes_nothing_and_a_new_subject_rebuilds_the_model(first_run, cohort_inputs, tmp_path,
                                                                         write_cohort):
    out = tmp_path / "out"
    shutil.copytree(first_run[0], out)          # keeps the modification times
    before, rows = outputs(out), statistics(out)
    template = json.loads((out / "report.json").read_text())["template"]["subject"]
    report = cohort.run(cohort_inputs, out, labels=COHORT_LABELS, workers=1)
    assert outputs(out) == before and statistics(out) == rows
    assert report["up_to_date"] == SUBJECTS and report["model"].get("up_to_date")
    assert report["exit_status"] == 3 and set(report["times"]["subjects_s"]) == {"subject_99"}

    extra = write_cohort(tmp_path / "more", 5, seed=11)[-1]
    report = cohort.run([*cohort_inputs, extra], out, labels=COHORT_LABELS, workers=1)
    after = outputs(out)
    assert report["model"]["subjects"] == 5 and not report["model"].get("up_to_date")
    assert after["shape_model.cvx"] > before["shape_model.cvx"]
    kept = [path for path in before if path.startswith("collections")
            or path.startswith("corresponded") and report["template"]["subject"] == template]
    assert kept and all(after[path] == before[path] for path in kept)


def test_ctrl_c_stops_cleanly_and_a_rerun_goes_on(cohort_inputs, tmp_path):
    out = tmp_path / "out"
    process = subprocess.Popen([sys.executable, "-m", "corvaxis", "cohort", *map(str, cohort_inputs), "-o", str(out),
                                "--labels", LABELS, "--workers", "2"], stderr=subprocess.PIPE, text=True)
    first = process.stderr.readline()              # the first subject is through: the workers are busy
    process.send_signal(signal.SIGINT)
    _, rest = process.communicate(timeout=120)
    assert process.returncode == 130 and rest.endswith("corvaxis: interrupted\n")
    assert "Traceback" not in first + rest
    leftovers = [name for _, _, names in os.walk(out) for name in names if name.startswith(".")]
    assert leftovers == []
    report = cohort.run(cohort_inputs, out, labels=COHORT_LABELS, workers=1)
    assert report["done"] == SUBJECTS and report["exit_status"] == 3


@pytest.mark.heavy(reason="the cohort three more times, one of them on a Dask cluster of two worker processes")
@pytest.mark.parametrize("engine", ["two local workers", "dask"])
def test_results_do_not_depend_on_the_engine(first_run, cohort_inputs, tmp_path, engine):
    out = tmp_path / "out"
    if engine == "dask":
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            report = cohort.run(cohort_inputs, out, labels=COHORT_LABELS, client=client)
    else:
        report = cohort.run(cohort_inputs, out, labels=COHORT_LABELS, workers=2)
    assert report["exit_status"] == 3 and report["engine"] == ("dask" if engine == "dask" else "local processes")
    assert statistics(out) == statistics(first_run[0])
    for ours, theirs in zip(model_points(out), model_points(first_run[0])):
        np.testing.assert_array_equal(ours, theirs)


@pytest.mark.parametrize("arguments, status, fragment", [
    (["{maps}/subject_00.nii.gz", "{maps}/again/subject_00.nii"], 1, "two inputs for subject 'subject_00'"),
    (["{maps}/subject_00.nii.gz", "--method", "Elastic"], 1, "unknown registration method 'Elastic'"),
    (["{maps}/subject_00.nii.gz", "--workers", "0"], 1, "--workers must be at least 1"),
    (["{maps}/subject_00.nii.gz", "--workers", "2", "--scheduler", "tcp://localhost:1"], 2, "not allowed with"),
    (["{maps}/subject_00.nii.gz", "--template", "{maps}/none.cvx"], 1, "none.cvx: no such template file"),
    (["{maps}/subject_00.nii.gz", "--labels", "1=liver,1=kidney"], 1, "label 1 is given twice"),
    (["{maps}/subject_00.nii.gz", "{maps}/subject_01.nii.gz", "--workers", "1"], 1, "the file names no labels"),
])
def test_mistakes_end_with_one_line(run_cli, tmp_path, cohort_inputs, arguments, status, fragment):
    maps = os.path.dirname(cohort_inputs[0])
    code, _, err = run_cli("cohort", *(argument.format(maps=maps) for argument in arguments), "-o", tmp_path / "out", "-q")
    assert code == status and fragment in err and "Traceback" not in err


def test_a_missing_label_fails_that_subject_only(tmp_path, write_cohort):
    maps = write_cohort(tmp_path / "maps", 3, without=(1, 2))
    report = cohort.run(maps, tmp_path / "out", labels=COHORT_LABELS, workers=1)
    assert report["failed"][0]["subject"] == "subject_01" and "label 2 (kidney) missing" in report["failed"][0]["reason"]
    assert report["done"] == ["subject_00", "subject_02"] and report["model"]["built"]


@pytest.mark.parametrize("volumes, chosen", [
    ({"b": {"liver": 10.0}, "a": {"liver": 10.0}, "c": {"liver": 30.0}}, "a"),          # tie: first name
    ({"a": {"liver": 10.0, "kidney": 1.0}, "b": {"liver": 11.0, "kidney": 3.0},
      "c": {"liver": 12.0, "kidney": 2.0}}, "c"),                                      # small organs count alike
    ({"a": {"liver": 11.0}, "b": {"liver": 11.0, "kidney": 2.0}, "c": {"liver": 12.0, "kidney": 2.0}}, "b"),
])
def test_template_is_the_subject_of_median_volumes(volumes, chosen):
    assert median_subject(volumes) == chosen


# A large triangle and, over it, a small one whose corner is the vertex nearest to (0, 0, 1): the
# closest point lies on the large triangle, whose corners are all far away.
FAR_CORNERS = (np.array([[-100.0, -100, 0], [100, -100, 0], [0, 100, 0], [0, 0, 2.5], [0.1, 0, 2.6], [0, 0.1, 2.6]]),
               np.array([[0, 1, 2], [3, 4, 5]]))


@pytest.mark.parametrize("point, distance, surface", [
    ((0.0, 0.0, 3.0), 2.0, None),       # above a face of the cube
    ((3.0, 3.0, 0.0), 2 * np.sqrt(2.0), None),  # beside an edge
    ((2.0, 2.0, 2.0), np.sqrt(3.0), None),  # beyond a corner
    ((0.5, 0.0, 0.0), 0.5, None),       # inside
    ((0.0, 0.0, 1.0), 1.0, FAR_CORNERS),  # on a triangle far from the nearest vertex
])
def test_surface_distances_are_exact(cube_mesh, point, distance, surface):
    vertices, faces = surface or (cube_mesh(1.0).vertices, cube_mesh(1.0).faces)
    assert surface_distances(np.array([point]), vertices, faces)[0] == pytest.approx(distance, rel=1e-12)


@pytest.mark.parametrize("points, faces, message", [
    ([[0.0, 0, 0]], [[0, 1, 6]], "A face refers to a vertex that does not exist"),
    ([[0.0, 0, 0]], np.zeros((0, 3), dtype=int), "The surface has no vertices or no faces"),
    ([0.0, 0, 0], [[0, 1, 2]], "points"),
    ([[np.nan, 0, 0]], [[0, 1, 2]], "points"),
])
def test_surface_distances_refuse_what_they_cannot_measure(points, faces, message):
    with pytest.raises(ValueError, match=message):
        surface_distances(np.asarray(points), FAR_CORNERS[0], np.asarray(faces))


@pytest.mark.parametrize("count", [1, 3, 0])
def test_computing_threads_change_no_result(cohort_inputs, count):
    import corvaxis.anatomy as anatomy

    def surfaces():
        collection = anatomy.generic_asc_from_label_map(corvaxis.open(cohort_inputs[0]), COHORT_LABELS)
        return [collection.anatomical_structure(name).meshes["surface"].vertices for name in COHORT_LABELS.values()]

    reference = surfaces()
    try:
        corvaxis.set_computing_threads(count)
        assert corvaxis.computing_threads() == (count or os.cpu_count())
        for ours, theirs in zip(surfaces(), reference):
            np.testing.assert_array_equal(ours, theirs)
        with pytest.raises(ValueError, match="got -1"):
            corvaxis.set_computing_threads(-1)
    finally:
        corvaxis.set_computing_threads(0)


def test_without_dask_the_command_names_the_debian_package(run_cli, monkeypatch, cohort_inputs, tmp_path):
    monkeypatch.setitem(sys.modules, "distributed", None)
    status, _, err = run_cli("cohort", cohort_inputs[0], "-o", tmp_path, "--scheduler", "tcp://localhost:8786")
    assert status == 1 and "install the Debian package python3-distributed" in err


@pytest.mark.parametrize("path, name", [
    ("/data/subject_01.nii.gz", "subject_01"), ("s2.seg.nrrd", "s2"), ("case-7.cvx", "case-7"), ("plain", "plain"),
])
def test_subject_names_drop_every_suffix(path, name):
    assert cohort.subject_name(path) == name


@pytest.mark.parametrize("paths, message", [
    (["a/s1.nii.gz", "b/s1.nii"], "two inputs for subject 's1'"),
    (["a/.hidden.nii"], "starts with '.'"),
    ([], "no segmentation given"),
])
def test_inputs_are_refused_before_any_work(tmp_path, paths, message):
    with pytest.raises(ValueError, match=message):
        cohort.run(paths, tmp_path / "out", workers=1)
    assert not (tmp_path / "out").exists()


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path):
    from corvaxis.cohort.outputs import write_atomically, write_text

    target = tmp_path / "report.json"
    write_text(str(target), "old")

    def fail_halfway(path):
        with open(path, "w") as file:
            file.write("half")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        write_atomically(str(target), fail_halfway)
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["report.json"]


def _task_result(value):
    return {"value": value}


def _task_ending_its_worker(value):
    os._exit(1)


def test_local_workers_outlive_a_stage_and_a_lost_worker_fails_only_its_stage():
    from corvaxis.cohort.engines import LocalEngine

    with LocalEngine(2) as engine:
        first = dict(engine.run([("a", _task_result, (1,)), ("b", _task_result, (2,))]))
        pool = engine._pool
        assert first == {"a": {"value": 1}, "b": {"value": 2}} and pool is not None
        assert dict(engine.run([("again", _task_result, (0,))])) == {"again": {"value": 0}} and engine._pool is pool
        lost = dict(engine.run([("lost", _task_ending_its_worker, (0,))]))
        assert lost["lost"]["failed"] == "the worker process ended unexpectedly"
        assert dict(engine.run([("c", _task_result, (3,))])) == {"c": {"value": 3}}
        assert engine._pool is not pool
    assert engine._pool is None


def test_a_worker_started_by_exec_reports_its_own_peak_memory():
    # As a Dask nanny starts its worker: fork and exec from a process that once held much more.
    from corvaxis.cohort.subject import peak_memory_kib

    held = np.ones(512 << 17)  # 512 MiB, touched
    child = subprocess.run([sys.executable, "-c", "from corvaxis.cohort.subject import peak_memory_kib as p; print(p())"],
                           capture_output=True, text=True, check=True)
    assert held.sum() > 0 and peak_memory_kib() >= 512 << 10
    assert int(child.stdout) < 256 << 10
