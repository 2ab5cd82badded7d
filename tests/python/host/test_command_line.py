import csv
import io
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import corvaxis
from corvaxis import cli
from corvaxis.cli import common as cli_common, info as cli_info

SUBCOMMANDS = ["example-data", "info", "stats", "labelmap", "register", "shape-model", "cohort", "render", "export"]


@pytest.fixture
def saved(tmp_path, sample_collection):
    path = tmp_path / "sample.cvx"
    corvaxis.save(sample_collection, path)
    return path


def assert_one_clean_line(status, err, fragment, expected_status=1):
    assert status == expected_status
    assert "Traceback" not in err and err.count("\n") == 1 and err.endswith("\n")
    assert fragment in err


@pytest.mark.parametrize("arguments", [[], *([name] for name in SUBCOMMANDS)])
def test_help_everywhere(run_cli, arguments):
    status, out, err = run_cli(*arguments, "--help")
    assert status == 0 and err == ""
    assert out.startswith(f"usage: corvaxis {' '.join(arguments)}".rstrip())
    if not arguments:
        assert all(name in out for name in SUBCOMMANDS)


def test_module_and_console_script_run_the_command_line(tmp_path, saved):
    module = subprocess.run([sys.executable, "-m", "corvaxis", "info", str(saved)], capture_output=True, text=True)
    assert module.returncode == 0 and module.stdout.startswith("GenericASC with 3 anatomical structures")
    script = os.path.join(os.path.dirname(sys.executable), "corvaxis")
    if not os.path.exists(script):
        pytest.skip("the console script is installed by pip into the environment's bin directory")
    missing = subprocess.run([script, "info", str(tmp_path / "nothing.cvx")], capture_output=True, text=True)
    assert missing.returncode == 1 and missing.stderr == f"corvaxis info: error: {tmp_path / 'nothing.cvx'}: no such file\n"


def test_info_lists_structures_and_their_objects(run_cli, saved):
    status, out, err = run_cli("info", saved)
    assert status == 0 and err == ""
    assert out.splitlines() == [
        "GenericASC with 3 anatomical structures",
        "  liver:",
        "    keypoints: tip",
        "    planes: cut",
        "    meshes:",
        "      surface: 8 vertices, 12 triangles, volume 512 mm³, surface area 384 mm²",
        "    matrix_to_world: translation [-15.0, 0.0, 0.0]",
        "  kidney:",
        "    point clouds: samples",
        "    matrix_to_world: translation [15.0, 0.0, 0.0]",
        "  aorta:",
        "    graphs: centerline",
    ]


def test_info_of_a_label_image_counts_the_labels(run_cli, tmp_path):
    labels = np.zeros((4, 5, 6), dtype=np.uint8)
    labels[0, :2, :] = 1
    labels[3, 4, 5] = 7
    path = tmp_path / "labels.cvx"
    images = corvaxis.SharedImageSet(labels, spacing=(0.5, 1, 2), modality=corvaxis.Modality.LABEL)
    images.label_names = {1: "liver", 9: "spleen"}
    corvaxis.save(images, path)
    status, out, _ = run_cli("info", path)
    assert status == 0
    assert out.splitlines()[1:] == ["  spacing: [0.5, 1.0, 2.0]", "  labels:", "    1 liver: 12 voxels",
                                    "    7: 1 voxel", "    9 spleen: absent"]


@pytest.mark.parametrize(
    ("layers", "modality", "expected"),
    [
        # Integer images are counted whatever their modality; floating ones only as labels.
        ([np.array([[[0, 3], [3, 3]]], np.int16)], corvaxis.Modality.CT, ["  labels:", "    3: 3 voxels"]),
        ([np.array([[[0, 3], [3, 3]]], np.float32)], corvaxis.Modality.CT, []),
        ([np.array([[[0, 3], [3, 3]]], np.float32)], corvaxis.Modality.LABEL, ["  labels:", "    3: 3 voxels"]),
        ([np.zeros((2, 2, 2), np.uint8), np.ones((2, 2, 2), np.uint8)], corvaxis.Modality.LABEL,
         ["  layer 0 labels: none", "  layer 1 labels:", "    1: 8 voxels"]),
    ],
    ids=["integer image", "floating image", "floating labels", "layers"],
)
def test_info_lists_labels_of_integer_images_and_of_every_layer(run_cli, tmp_path, layers, modality, expected):
    corvaxis.save(corvaxis.SharedImageSet(layers, modality=modality), tmp_path / "image.cvx")
    status, out, _ = run_cli("info", tmp_path / "image.cvx")
    assert status == 0 and out.splitlines()[2:] == expected


@pytest.mark.parametrize("arguments, fragment, expected_status", [
    (["info", "{tmp}/missing.cvx"], "corvaxis info: error: {tmp}/missing.cvx: no such file", 1),
    (["info", "{tmp}"], "is a directory, expected a file", 1),
    (["info", "{tmp}/garbage.cvx"], "corvaxis info: error: ", 1),
    (["render", "{tmp}/missing.cvx", "-o", "{tmp}/p.png"], "missing.cvx: no such file", 1),
    (["render", "{sample}", "-o", "{tmp}/p.png", "--view", "sideways"], "unknown view 'sideways'", 1),
    (["render", "{sample}", "-o", "{tmp}/p.png", "--size", "big"], "bad size 'big'", 1),
    (["render", "{sample}", "-o", "{tmp}/p.png", "--size", "5x5"], "must lie in [16, 10000]", 1),
    (["render", "{sample}", "{sample}", "-o", "{tmp}/p.png", "--titles", "one"], "1 titles given for 2 files", 1),
    (["render", "{sample}", "-o", "{tmp}"], "{tmp}: is a directory; give a file name ending in .png for a picture", 1),
    (["render", "{sample}", "-o", "{tmp}/p.jpg"], "{tmp}/p.jpg: a picture is written as .png", 1),
    (["render", "{sample}", "-o", "{tmp}/garbage.cvx/p.png"], "garbage.cvx is a file, not a directory", 1),
    (["labelmap", "{labels}", "--labels", "1=liver", "-o", "{tmp}/o.nii"],
     "{tmp}/o.nii: a collection is written as .cvx; give a file name ending in .cvx", 1),
    (["register", "{sample}", "{sample}", "-o", "{tmp}/r.nii.gz"], "the registered collection is written as .cvx", 1),
    # The output is checked first, before the inputs are even read.
    (["register", "{tmp}/missing.cvx", "{sample}", "-o", "{tmp}/r.txt"], "the registered collection is written", 1),
    (["shape-model", "{sample}", "{tmp}", "-o", "{tmp}/m.vtk"], "the shape model is written as .cvx", 1),
    (["shape-model", "{sample}", "{tmp}", "-o", "{tmp}/m.cvx", "--mean-output", "{tmp}/m.png"],
     "the mean shape is written as .cvx", 1),
    (["shape-model", "{sample}", "{tmp}", "-o", "{tmp}/m.cvx", "--mean-output", "{tmp}/./m.cvx"],
     "need two different files", 1),
    (["stats", "{sample}", "-o", "{tmp}/s.txt"], "a statistics table is written as .csv", 1),
    (["stats", "{sample}", "{tmp}/other/sample.cvx", "-o", "{tmp}/s.csv"], "have one subject name, 'sample'", 1),
    (["example-data", "{tmp}/d", "--subjects", "0"], "--subjects 0: give a number from 1 to 1000", 1),
    (["example-data", "{tmp}/garbage.cvx"], "exists and is not a directory", 1),
    (["render", "{labels}", "-o", "{tmp}/p.png"], "holds SharedImageSet, expected an anatomical structure collection", 1),
    (["export", "{sample}", "{tmp}/garbage.cvx"], "exists and is not a directory", 1),
    (["export", "{sample}", "{tmp}/out", "--mesh-format", "vtk"], "invalid choice: 'vtk'", 2),
    (["labelmap", "{labels}", "--labels", "1=liver,2", "-o", "{tmp}/o.cvx"], "bad label list '1=liver,2'", 1),
    (["labelmap", "{labels}", "--labels", "one=liver", "-o", "{tmp}/o.cvx"], "'one' is not an integer label value", 1),
    (["labelmap", "{labels}", "--labels", "1=liver,1=spleen", "-o", "{tmp}/o.cvx"], "label 1 is given twice", 1),
    (["labelmap", "{labels}", "--labels", "1=liver,2=liver", "-o", "{tmp}/o.cvx"], "name 'liver' is given twice", 1),
    (["labelmap", "{labels}", "--labels", "4294967297=x", "-o", "{tmp}/o.cvx"], "label 4294967297 is out of range", 1),
    (["labelmap", "{labels}", "--labels", "1=liver"], "the following arguments are required: -o/--output", 2),
    (["labelmap", "{labels}", "--labels", "1=liver", "-o", "{tmp}/o.cvx", "--decimate", "0"],
     "the share of triangles kept is a number in (0, 1], not '0'", 2),
    (["labelmap", "{labels}", "--labels", "1=liver", "-o", "{tmp}/o.cvx", "--decimate", "half"],
     "the share of triangles kept is a number in (0, 1], not 'half'", 2),
    (["labelmap", "{labels}", "--labels", "1=liver", "-o", "{tmp}/o.cvx", "--surface", "rough"],
     "invalid choice: 'rough'", 2),
    (["shape-model", "{sample}", "{tmp}/nowhere", "-o", "{tmp}/m.cvx"], "nowhere: no such directory", 1),
    (["shape-model", "-q", "{sample}", "{tmp}", "-o", "{tmp}/m.cvx"], "shape model failed: ", 1),
    (["frobnicate"], "invalid choice: 'frobnicate'", 2),
    ([], "the following arguments are required: COMMAND", 2),
])
def test_user_errors_end_in_one_line(run_cli, tmp_path, saved, arguments, fragment, expected_status):
    (tmp_path / "garbage.cvx").write_bytes(b"not a data file at all")
    corvaxis.save(corvaxis.SharedImageSet(np.ones((2, 2), dtype=np.uint8), modality=corvaxis.Modality.LABEL),
                  tmp_path / "labels.cvx")
    fill = {"tmp": str(tmp_path), "sample": str(saved), "labels": str(tmp_path / "labels.cvx")}
    status, out, err = run_cli(*(argument.format(**fill) for argument in arguments))
    assert_one_clean_line(status, err, fragment.format(**fill), expected_status)
    assert out == ""


def test_render_writes_the_picture_with_a_panel_per_file(run_cli, tmp_path, saved, pictures):
    status, out, err = run_cli("render", saved, saved, "-o", tmp_path / "p.png", "--view", "front", "--size",
                               "400x200", "--title", "twice")
    assert (status, out, err) == (0, "", "")
    image = pictures.read(tmp_path / "p.png")
    assert image.shape == (200, 400, 3)
    drawn = np.any(image < 0.9, axis=2)
    left, right = drawn[:, :200], drawn[:, 200:]
    assert left.sum() > 100 and abs(int(left.sum()) - int(right.sum())) < 0.05 * left.sum()


def test_export_writes_the_files_it_lists(run_cli, tmp_path, saved):
    status, out, err = run_cli("export", saved, tmp_path / "out", "--mesh-format", "stl")
    assert status == 0 and err == ""
    listed = out.splitlines()
    assert [os.path.basename(path) for path in listed] == [
        "liver_surface.stl", "kidney_samples.ply", "landmarks.json"]
    assert all(os.path.getsize(path) > 0 for path in listed)


@pytest.mark.parametrize("raised, expected_status, message", [
    (KeyboardInterrupt(), 130, "corvaxis: interrupted\n"),
    (cli_common.CommandError("no good"), 1, "corvaxis info: error: no good\n"),
    (PermissionError(13, "Permission denied", "/x.cvx"), 1, "corvaxis info: error: [Errno 13] Permission denied: '/x.cvx'\n"),
    (ValueError("a collection\ncannot hold this"), 1, "corvaxis info: error: a collection cannot hold this\n"),
    (RuntimeError("Failed to compute linear shape model"), 1,
     "corvaxis info: error: Failed to compute linear shape model\n"),
])
def test_failures_become_an_exit_status(run_cli, monkeypatch, raised, expected_status, message):
    def fail(arguments):
        raise raised

    monkeypatch.setattr(cli_info, "run", fail)
    status, out, err = run_cli("info", "anything")
    assert (status, out, err) == (expected_status, "", message)


def test_bugs_are_not_hidden(run_cli, monkeypatch):
    monkeypatch.setattr(cli_info, "run", lambda arguments: [][1])
    with pytest.raises(IndexError):
        run_cli("info", "anything")


class CountingAlgorithm(corvaxis.Algorithm):
    def __init__(self, steps):
        corvaxis.Algorithm.__init__(self)
        self.steps = steps
        self.done = 0

    def compute(self):
        for step in range(self.steps):
            if not self.report_progress((step + 1) / self.steps, f"step {step + 1}"):
                self.set_status(2, "cancelled")
                return
            self.done += 1
        self.set_status(0)


def test_plain_progress_bar_draws_one_updating_line():
    stream = io.StringIO()
    bar = cli_common.PlainProgressBar("work", stream)
    for fraction, step in ((0.0, "start"), (0.5, "half"), (0.5, "half"), (1.5, "done")):
        bar.update(fraction, step)
    bar.close()
    frames = stream.getvalue().split("\r")[1:]
    assert [frame.rstrip() for frame in frames] == [
        "work [..............................]   0% start",
        "work [###############...............]  50% half",
        "work [##############################] 100% done",
    ]
    assert stream.getvalue().endswith("\n")


def test_line_progress_writes_a_line_per_step_and_per_tenth():
    stream = io.StringIO()
    bar = cli_common.LineProgressBar("work", stream)
    updates = [(0.0, "start"), (0.02, "start"), (0.05, "start"), (0.1, "start"), (0.15, "start"), (0.15, "next"),
               (0.35, "next"), (0.3, "next"), (1.0, "next"), (1.0, "next")]
    for fraction, step in updates:
        bar.update(fraction, step)
    bar.close()
    assert "\r" not in stream.getvalue()
    assert stream.getvalue().splitlines() == [
        "work:   0% start", "work:  10% start", "work:  15% next", "work:  35% next", "work: 100% next"]


@pytest.mark.parametrize("kind, terminal", [("tqdm", True), ("plain", True), ("lines", False)])
def test_algorithm_runs_with_a_bar_and_leaves_no_callback(monkeypatch, terminal_stream, kind, terminal):
    if kind == "tqdm":
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    algorithm = CountingAlgorithm(4)
    monkeypatch.setattr(sys, "stderr", terminal_stream() if terminal else io.StringIO())
    cli_common.run_algorithm(algorithm, "counting", quiet=False)
    assert algorithm.done == 4 and algorithm.status == 0
    shown = sys.stderr.getvalue()
    assert "counting" in shown and "100%" in shown and "step 4" in shown
    assert ("\r" in shown) == terminal
    # The bar's callback is gone afterwards: a later compute draws nothing.
    assert "_progress_callback" not in algorithm.__dict__
    algorithm.compute()
    assert sys.stderr.getvalue() == shown


def test_interrupt_stops_the_algorithm_and_travels_on(monkeypatch):
    algorithm = CountingAlgorithm(10)
    monkeypatch.setattr(sys, "stderr", io.StringIO())

    class InterruptingBar(cli_common.PlainProgressBar):
        def update(self, fraction, step):
            super().update(fraction, step)
            if fraction >= 0.3:
                raise KeyboardInterrupt

    monkeypatch.setattr(cli_common, "progress_bar", lambda description, quiet: InterruptingBar(description, sys.stderr))
    with pytest.raises(KeyboardInterrupt):
        cli_common.run_algorithm(algorithm, "counting", quiet=False)
    assert algorithm.done == 2 and "_progress_callback" not in algorithm.__dict__
    assert sys.stderr.getvalue().endswith("\n")  # the bar's line is ended


class SelfInterruptingAlgorithm(CountingAlgorithm):
    """Receives Ctrl-C half-way, as from the terminal."""

    def compute(self):
        for step in range(self.steps):
            if step == self.steps // 2:
                os.kill(os.getpid(), signal.SIGINT)
            if not self.report_progress((step + 1) / self.steps, ""):
                self.set_status(2, "cancelled")
                return
            self.done += 1
        self.set_status(0)


def call_reporting_failure(algorithm):
    """Runs compute as a wrapper does that turns a stopped computation into its own error."""
    def run():
        try:
            algorithm.compute()
        except KeyboardInterrupt:
            pass
        raise RuntimeError("Failed to compute linear shape model")
    return run


@pytest.mark.parametrize("quiet, wrap", [(False, False), (True, False), (False, True), (True, True)])
def test_ctrl_c_reaches_the_caller_as_an_interrupt(monkeypatch, quiet, wrap):
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    algorithm = SelfInterruptingAlgorithm(6)
    before = signal.getsignal(signal.SIGINT)
    with pytest.raises(KeyboardInterrupt):
        cli_common.run_algorithm(algorithm, "interrupted", quiet, run=call_reporting_failure(algorithm) if wrap else None)
    assert algorithm.done == 3
    assert signal.getsignal(signal.SIGINT) is before


def test_register_refuses_an_unknown_method(run_cli, saved, tmp_path):
    status, _, err = run_cli("register", saved, saved, "--method", "magic", "-o", tmp_path / "r.cvx")
    assert_one_clean_line(status, err, "unknown registration method 'magic': expected one of ")
    assert not (tmp_path / "r.cvx").exists()


def test_register_saves_the_moved_collection(run_cli, tmp_path, make_collection, make_structure):
    landmarks = {"a": [0.0, 0.0, 0.0], "b": [10.0, 0.0, 0.0], "c": [0.0, 10.0, 0.0]}
    shifted = {key: np.add(point, [5.0, 0.0, 0.0]) for key, point in landmarks.items()}
    corvaxis.save(make_collection(make_structure("liver", keypoints=landmarks)), tmp_path / "fixed.cvx")
    corvaxis.save(make_collection(make_structure("liver", keypoints=shifted)), tmp_path / "moving.cvx")
    status, _, err = run_cli("register", tmp_path / "fixed.cvx", tmp_path / "moving.cvx", "--method",
                             "points-and-planes", "-o", tmp_path / "r.cvx", "--quiet")
    assert status == 0 and "Traceback" not in err
    registered = corvaxis.open(tmp_path / "r.cvx")
    np.testing.assert_allclose(registered.anatomical_structure("liver").keypoints2["b"], landmarks["b"], atol=1e-9)


@pytest.mark.parametrize("options, surface", [
    ([], "smooth"), (["--surface", "voxel"], "voxel"), (["--surface", "smooth", "--decimate", "0.5"], "smooth")])
def test_labelmap_builds_named_structures(run_cli, tmp_path, options, surface):
    labels = np.zeros((12, 12, 12), dtype=np.uint8)
    labels[1:6, 1:6, 1:6] = 1
    labels[5:11, 5:11, 5:11] = 2
    corvaxis.save(corvaxis.SharedImageSet(labels, modality=corvaxis.Modality.LABEL), tmp_path / "seg.cvx")
    status, out, err = run_cli("labelmap", tmp_path / "seg.cvx", "--labels", "1=liver, 2=kidney", "-o",
                               tmp_path / "o.cvx", "-q", *options)
    assert (status, err) == (0, "")
    collection = corvaxis.open(tmp_path / "o.cvx")
    assert sorted(collection.anatomical_structure_identifiers()) == ["kidney", "liver"]
    for name in ("kidney", "liver"):
        assert collection.anatomical_structure(name).meshes.attributes["surface"]["surface"] == surface


def test_version_is_the_package_version(run_cli):
    status, out, err = run_cli("--version")
    assert (status, out, err) == (0, f"corvaxis {corvaxis.__version__}\n", "")


def test_example_data_writes_the_same_subjects_for_a_seed(run_cli, tmp_path):
    status, out, err = run_cli("example-data", tmp_path / "a", "--subjects", "2", "--scans")
    assert (status, err) == (0, "")
    assert out.splitlines() == [str(tmp_path / "a" / f"subject_0{n}.nii.gz") for n in (0, 1)]
    assert run_cli("example-data", tmp_path / "b", "--subjects", "1", "-q")[:2] == (0, "")
    first, again = (corvaxis.open(tmp_path / folder / "subject_00.nii.gz") for folder in ("a", "b"))
    np.testing.assert_array_equal(first.get(), again.get())
    assert sorted(np.unique(first.get()).tolist()) == [0, 1, 2, 3]
    scan = corvaxis.open(tmp_path / "a" / "scans" / "subject_01.nii.gz")
    labels = corvaxis.open(tmp_path / "a" / "subject_01.nii.gz")
    assert scan.get().shape == labels.get().shape and scan.modality != corvaxis.Modality.LABEL
    np.testing.assert_allclose(scan.voxel_to_world, labels.voxel_to_world, atol=1e-6)
    # The organs stand out of the scan where the label map has them.
    assert scan.get()[labels.get() == 2].mean() > scan.get()[labels.get() == 0].mean() + 100


def label_map_with_scan(folder):
    labels = np.zeros((10, 10, 10), dtype=np.uint8)
    labels[1:5, 1:5, 1:5] = 1
    labels[5:9, 5:9, 5:9] = 2
    corvaxis.save(corvaxis.SharedImageSet(labels, spacing=(1.0, 1.5, 2.0), modality=corvaxis.Modality.LABEL),
                  folder / "seg.nii.gz")
    scan = labels.astype(np.float32) * 50 + 10
    corvaxis.save(corvaxis.SharedImageSet(scan, spacing=(1.0, 1.5, 2.0)), folder / "scan.nii.gz")
    return labels, scan


def test_labelmap_keeps_the_scan_with_each_structure(run_cli, tmp_path):
    _, scan = label_map_with_scan(tmp_path)
    status, out, err = run_cli("labelmap", tmp_path / "seg.nii.gz", "--labels", "1=liver,2=kidney", "--image",
                               tmp_path / "scan.nii.gz", "-o", tmp_path / "new" / "folder" / "o.cvx")
    assert (status, err) == (0, "")
    collection = corvaxis.open(tmp_path / "new" / "folder" / "o.cvx")
    for identifier in ("liver", "kidney"):
        stored = collection.anatomical_structure(identifier).images["image"]
        np.testing.assert_array_equal(stored.get(), scan)
        np.testing.assert_allclose(stored.spacing, (1.0, 1.5, 2.0))


def test_stats_writes_a_row_per_subject_and_structure(run_cli, tmp_path, saved):
    label_map_with_scan(tmp_path)
    assert run_cli("labelmap", tmp_path / "seg.nii.gz", "--labels", "1=liver,2=kidney", "-o",
                   tmp_path / "subject_a.cvx")[0] == 0
    status, out, err = run_cli("stats", tmp_path / "subject_a.cvx", saved, "-o", tmp_path / "tables" / "stats.csv")
    assert (status, err) == (0, "")
    assert out == f"{tmp_path / 'tables' / 'stats.csv'}: 5 rows from 2 files\n"
    with open(tmp_path / "tables" / "stats.csv", newline="") as stream:
        rows = list(csv.DictReader(stream))
    assert list(rows[0]) == ["subject", "structure", "label", "voxel_count", "volume_mm3", "surface_area_mm2",
                             "centroid_x", "centroid_y", "centroid_z", "rms_before_mm", "rms_after_mm",
                             "mean_surface_distance_mm"]
    assert [(row["subject"], row["structure"]) for row in rows] == [
        ("sample", "aorta"), ("sample", "kidney"), ("sample", "liver"), ("subject_a", "kidney"), ("subject_a", "liver")]
    liver = rows[4]
    assert (liver["label"], liver["voxel_count"], float(liver["volume_mm3"])) == ("1", "64", 64 * 3.0)
    np.testing.assert_allclose([float(liver[f"centroid_{axis}"]) for axis in "xyz"], [2.5, 3.75, 5.0])
    assert float(liver["surface_area_mm2"]) > 0 and liver["rms_after_mm"] == ""
    # Without label-map attributes: the volume the mesh encloses, its centroid; empty where nothing is known.
    cube, aorta = rows[2], rows[0]
    assert (cube["label"], float(cube["volume_mm3"]), float(cube["surface_area_mm2"])) == ("", 512.0, 384.0)
    np.testing.assert_allclose([float(cube[f"centroid_{axis}"]) for axis in "xyz"], [0.0, 0.0, 0.0], atol=1e-12)
    assert all(aorta[column] == "" for column in list(aorta)[2:])


def test_shape_model_writes_the_model_and_the_updated_mean(run_cli, tmp_path, write_box_population):
    paths = write_box_population(tmp_path / "boxes")
    status, out, err = run_cli("shape-model", paths[0], tmp_path / "boxes", "-o", tmp_path / "model" / "m.cvx",
                               "--mean-output", tmp_path / "model" / "mean.cvx", "-q")
    assert (status, out, err) == (0, "", "")
    mean = corvaxis.open(tmp_path / "model" / "mean.cvx")
    assert mean.anatomical_structure_identifiers() == ["box"]
    assert corvaxis.open(tmp_path / "model" / "m.cvx").anatomical_structure_identifiers()


def test_shape_model_that_fails_writes_nothing(run_cli, tmp_path, write_box_population, sample_collection):
    write_box_population(tmp_path / "boxes", count=1)
    corvaxis.save(sample_collection, tmp_path / "mean.cvx")
    status, _, err = run_cli("shape-model", tmp_path / "mean.cvx", tmp_path / "boxes", "-o", tmp_path / "m.cvx",
                             "--mean-output", tmp_path / "mean2.cvx", "-q")
    assert status == 1 and "Traceback" not in err
    assert sorted(os.listdir(tmp_path)) == ["boxes", "mean.cvx"]


@pytest.mark.parametrize("storable", [(True, True), (True, False), (False, True)])
def test_outputs_are_written_all_or_nothing(tmp_path, sample_collection, storable):
    corvaxis.save(corvaxis.Mesh(np.eye(3), [[0, 1, 2]]), tmp_path / "a.cvx")
    before = (tmp_path / "a.cvx").read_bytes()
    outputs = [(sample_collection if good else "not data", tmp_path / "new" / name if name == "b.cvx" else tmp_path / name)
               for good, name in zip(storable, ("a.cvx", "b.cvx"))]
    if all(storable):
        cli_common.save_all(outputs)
        assert all(corvaxis.open(path).anatomical_structure_identifiers() == ["liver", "kidney", "aorta"]
                   for _, path in outputs)
    else:
        with pytest.raises(TypeError):
            cli_common.save_all(outputs)
        assert (tmp_path / "a.cvx").read_bytes() == before
        assert not (tmp_path / "new" / "b.cvx").exists()
    leftovers = [name for folder in (tmp_path, tmp_path / "new") if folder.is_dir() for name in os.listdir(folder)
                 if name.startswith(".")]
    assert leftovers == []


LABELMAP_SEGMENTS = [{"name": "liver", "label": 1, "color": (0.75, 0.5, 0.25)},
                     {"name": "kidney", "label": 2, "color": (0.25, 0.5, 1.0)}]


@pytest.mark.parametrize(
    ("file", "labels", "structures", "stderr"),
    [
        # Most tools leave the label intent unset: the image is read as labels all the same.
        ("plain.nii.gz", None, [("label 1", None), ("label 2", None)], ""),
        ("plain.nii.gz", "1=liver,5=spleen", [("liver", None)],
         "corvaxis labelmap: label 5 (spleen) does not occur in {path}\n"),
        ("case.seg.nrrd", None, [("liver", (0.75, 0.5, 0.25, 1.0)), ("kidney", (0.25, 0.5, 1.0, 1.0))], ""),
        ("case.seg.nrrd", "2=right kidney", [("right kidney", (0.25, 0.5, 1.0, 1.0))], ""),
        ("float.cvx", None, [("label 1", None), ("label 2", None)], ""),
    ],
    ids=["nifti without intent", "absent label", "slicer names", "slicer with labels", "floating labels"],
)
def test_labelmap_reads_labels_as_other_tools_write_them(run_cli, tmp_path, write_nifti, slicer_segmentation, file,
                                                         labels, structures, stderr):
    pixels = np.zeros((6, 6, 6), np.uint8)
    pixels[1:3, 1:3, 1:3] = 1
    pixels[3:5, 3:5, 3:5] = 2
    if file.endswith(".nii.gz"):
        path = write_nifti(pixels.transpose(2, 1, 0), file, sform=np.diag([0.5, 0.5, 2.0, 1.0]))
    elif file.endswith(".seg.nrrd"):
        path = slicer_segmentation(tmp_path / file, pixels, LABELMAP_SEGMENTS)
    else:
        path = tmp_path / file
        corvaxis.save(corvaxis.SharedImageSet(pixels.astype(np.float32)), path)
    status, out, err = run_cli("labelmap", path, *(["--labels", labels] if labels else []), "-o", tmp_path / "o.cvx")
    assert (status, err) == (0, stderr.format(path=path))
    collection = corvaxis.open(tmp_path / "o.cvx")
    found = []
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        color = structure.meshes.attributes["surface"]["color"]
        found.append((structure.identifier, tuple(np.round(color, 6)) if structures[index][1] else None))
    assert found == structures


@pytest.mark.parametrize(
    ("pixels", "fragment"),
    [
        (np.array([[[0, 1], [0.5, 1]]], np.float32), "holds the value 0.5, which is not an integer label"),
        (np.array([[[0, np.nan], [2, 1]]]), "holds the value nan, which is not an integer label"),
        (np.array([[[0, 1], [3e9, 1]]]), "holds the value 3e+09, which is not an integer label"),
        (np.array([[[0, 1], [2**31, 1]]], np.uint32), "holds the value 2.14748e+09, which is not an integer label"),
        (np.zeros((1, 2, 2), np.uint8), "no structure was built from any label"),
    ],
    ids=["fraction", "nan", "beyond 32 bits", "beyond int32", "no label"],
)
def test_labelmap_refuses_images_that_hold_no_labels_in_one_line(run_cli, tmp_path, pixels, fragment):
    corvaxis.save(corvaxis.SharedImageSet(pixels), tmp_path / "image.cvx")
    status, out, err = run_cli("labelmap", tmp_path / "image.cvx", "-o", tmp_path / "o.cvx")
    assert_one_clean_line(status, err, fragment)
    assert out == "" and not (tmp_path / "o.cvx").exists()
