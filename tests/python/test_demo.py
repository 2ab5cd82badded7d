"""The main job end to end: the demo runs on the data it makes and leaves its report and pictures."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
LIVER = np.array([0xB5, 0x53, 0x3C]) / 255

pytestmark = pytest.mark.heavy(reason="the whole demo, already over a minute in the release build; each of its steps is tested on its own")


def share_of_colour(path, colour, tolerance=0.12):
    """Share of the picture's pixels within tolerance of an RGB colour (shading darkens, so the
    hue is compared through the normalised colour)."""
    import matplotlib.image

    pixels = matplotlib.image.imread(path)[..., :3].reshape(-1, 3)
    brightness = pixels.sum(axis=1, keepdims=True)
    lit = brightness[:, 0] > 0.15
    normalised = pixels[lit] / brightness[lit]
    target = colour / colour.sum()
    return np.mean(np.linalg.norm(normalised - target, axis=1) < tolerance) * lit.mean()


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    completed = subprocess.run([sys.executable, str(DEMO), str(out)], capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stderr
    return out, completed.stdout


def test_report_names_every_step(demo_run):
    _, report = demo_run
    for expected in ("structures ['liver', 'kidney', 'spleen']", "PointsAndPlanes:", "PointsRigidScaling:",
                     "deformed onto 12 subjects", "modes; the first three explain", "Whole run:"):
        assert expected in report
    # Only the docstring's 4x4-by-3 product cannot run as written; the demo reports it and goes on.
    unrunnable = [line for line in report.splitlines() if "does not run as written" in line]
    assert len(unrunnable) == 1 and "local_to_world @ tip_point" in unrunnable[0]


@pytest.mark.parametrize("picture", ["registration.png", "shape_mode_1.png", "shape_mode_2.png"])
def test_pictures_show_the_organs(demo_run, picture):
    out, _ = demo_run
    assert share_of_colour(out / picture, LIVER) > 0.01
