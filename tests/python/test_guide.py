"""docs/guide.md runs: its python blocks, in order and in one namespace, in a folder holding the
label maps the guide opens."""

import os
import pathlib
import re

import numpy as np
import pytest

import corvaxis

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "guide.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """(first line number, code) of every python block of a Markdown text."""
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in BLOCK.finditer(text)]


def write_label_maps(folder):
    """Three small subjects: an ellipsoid 'liver' (1) and 'kidney' (2) varying in size and place."""
    shape, spacing = (20, 24, 28), (2.0, 2.0, 2.5)
    z, y, x = np.meshgrid(*(np.arange(n) * s for n, s in zip(shape, spacing[::-1])), indexing="ij")
    body = np.stack([x, y, z], axis=-1) - np.array([28.0, 24.0, 25.0])
    for number, scale in enumerate((1.0, 1.1, 0.92), start=1):
        labels = np.zeros(shape, dtype=np.uint8)
        liver = np.sum((body - [-6.0 * scale, 0.0, 0.0]) ** 2 / (np.array([16.0, 11.0, 10.0]) * scale) ** 2, axis=-1)
        kidney = np.sum((body - [14.0, 6.0 * scale, 0.0]) ** 2 / (np.array([6.0, 9.0, 6.0]) * scale) ** 2, axis=-1)
        labels[liver <= 1] = 1
        labels[(kidney <= 1) & (labels == 0)] = 2
        images = corvaxis.SharedImageSet(labels, spacing=spacing, modality=corvaxis.Modality.LABEL)
        corvaxis.save(images, folder / f"subject0{number}.nii.gz")


def test_python_blocks_are_found():
    text = "a\n```python\nx = 1\n```\n```sh\nls\n```\n```python\ny = 2\nz = 3\n```\n"
    assert python_blocks(text) == [(3, "x = 1\n"), (9, "y = 2\nz = 3\n")]


def test_the_guide_runs(tmp_path, monkeypatch, capsys):
    for library in ("trimesh", "pyvista", "nibabel", "matplotlib"):
        pytest.importorskip(library)
    write_label_maps(tmp_path)
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks(GUIDE.read_text(encoding="utf-8"))
    assert len(blocks) >= 10
    namespace = {"__name__": "guide"}
    for line, code in blocks:
        # Padding keeps the guide's line numbers in tracebacks.
        exec(compile("\n" * (line - 1) + code, str(GUIDE), "exec"), namespace)
    capsys.readouterr()
    assert namespace["shape_model"].num_modes == 2
    assert sorted(os.listdir(tmp_path / "corresponded")) == [f"subject0{n}.cvx" for n in (1, 2, 3)]
    # Libraries that keep an exception of a failed optional import keep its frames, and with them
    # the guide's globals: empty them so that only what the host itself holds is judged.
    namespace.clear()
