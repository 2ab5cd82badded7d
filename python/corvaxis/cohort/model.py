"""What a cohort has in common: the template, the shape model over the corresponded collections,
and pictures of its first modes. These run in the calling process."""

from __future__ import annotations

import os
import shutil
from collections.abc import Sequence

import numpy as np

from corvaxis.cohort.outputs import STATE, write_atomically
from corvaxis.cohort.subject import corresponded_path

SHAPE_MODEL = "shape_model.cvx"
PICTURED_MODES = 3
PICTURE = "shape_mode_{}.png"


def median_subject(volumes: dict[str, dict[str, float]]) -> str:
    """The subject whose structure volumes lie closest to the cohort's medians.

    volumes maps each subject to its structures' volumes. A subject's distance is the sum over all
    structures of the cohort of |volume - median| / median, a structure it lacks counting 1, so
    that every structure weighs alike whatever its size; ties go to the first name.
    """
    if not volumes:
        raise ValueError("no subject to choose a template from")
    structures = sorted({name for subject in volumes.values() for name in subject})
    medians = {name: float(np.median([v[name] for v in volumes.values() if name in v])) for name in structures}

    def distance(subject: str) -> float:
        own = volumes[subject]
        return sum(abs(own[name] - medians[name]) / medians[name] if name in own and medians[name] > 0
                   else (0.0 if name in own else 1.0) for name in structures)

    return min(sorted(volumes), key=distance)


def build_shape_model(out_dir: str, template_path: str, subjects: Sequence[str]):
    """The linear shape model over the subjects' corresponded collections, saved as
    shape_model.cvx. Returns (model collection, generator results); raises RuntimeError with the
    reason when no model comes out."""
    import corvaxis
    import corvaxis.anatomy as anatomy
    from corvaxis.cli.common import InterruptWatch

    if len(subjects) < 2:
        raise RuntimeError(f"a shape model needs at least two subjects, {len(subjects)} succeeded")
    # The generator reads every .cvx of one folder: a folder of links to exactly this run's subjects.
    inputs = os.path.join(out_dir, STATE, "model-input")
    shutil.rmtree(inputs, ignore_errors=True)
    os.makedirs(inputs)
    for subject in subjects:
        os.link(corresponded_path(out_dir, subject), os.path.join(inputs, subject + ".cvx"))
    try:
        template = corvaxis.open(template_path)
        if not isinstance(template, anatomy.GenericASC):
            raise TypeError(f"{template_path}: holds a {type(template).__name__}, not a collection")
        generator = anatomy.GenerateLinearShapeModel(template)
        generator.p_inputDirectory = inputs
        # The host looks for Ctrl-C only when it reports progress.
        generator.set_progress_callback(lambda fraction, step: None)
        with InterruptWatch():
            try:
                results = generator()
            except RuntimeError:
                raise RuntimeError(f"the shape model failed: {generator.status_message or 'no model'}") from None
        figures = generator.results
        corvaxis.save(results["shape_model"], os.path.join(out_dir, SHAPE_MODEL))
        return results["shape_model"], figures
    finally:
        shutil.rmtree(inputs, ignore_errors=True)


def draw_modes(out_dir: str, model_collection) -> list[str]:
    """shape_mode_<k>.png for the first modes: the mean and 2 standard deviations either way.
    Pictures of modes the model no longer has are removed. Returns the file names written."""
    from corvaxis import render
    from corvaxis.shape_model import LinearShapeModel

    model = LinearShapeModel(model_collection)
    written = []
    for mode in range(min(PICTURED_MODES, model.num_modes)):
        panels = []
        for sigma in (-2.0, 0.0, 2.0):
            coefficients = np.zeros(model.num_modes)
            coefficients[mode] = sigma
            panels.append(model.instance(coefficients))
        name = PICTURE.format(mode + 1)

        def draw(path: str, panels=panels, title=f"shape mode {mode + 1}") -> None:
            render.render_panels(panels, path, titles=["-2 sigma", "mean", "+2 sigma"], title=title)

        write_atomically(os.path.join(out_dir, name), draw, suffix=".png")
        written.append(name)
    for mode in range(model.num_modes, PICTURED_MODES):
        stale = os.path.join(out_dir, PICTURE.format(mode + 1))
        if os.path.exists(stale):
            os.unlink(stale)
    return written
