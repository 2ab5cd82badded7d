"""The main job, end to end, on data it makes itself.

A small synthetic population (subjects with liver-, kidney- and spleen-like organs of varying size
and form, anisotropic voxels, a rotated image matrix) is written as NIfTI label maps; then every
example of the module docstring runs against the files written: opening and walking a collection,
transformations, collections from label maps, registration (points and planes, points with scaling,
and a template mesh deformed onto every subject), and a linear shape model over the corresponded
collections, the last two through corvaxis.cohort on every core. A short report is printed and
pictures are written under build/demo/.

Run with `make demo` (or `python examples/demo.py [OUTPUT_FOLDER]`).
"""

import csv
import os
import pathlib
import re
import shutil
import sys
import time
from collections.abc import Callable, Iterable
from typing import Any, ParamSpec, TypeVar

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis import cohort, example_data, render
from corvaxis.shape_model import LinearShapeModel

LABELS = example_data.LABELS
SUBJECTS = 12
SHAPE = example_data.SHAPE
SPACING = example_data.SPACING
TIMES: dict[str, float] = {}


Parameters = ParamSpec("Parameters")
Result = TypeVar("Result")


def timed(step: str) -> Callable[[Callable[Parameters, Result]], Callable[Parameters, Result]]:
    def wrap(function: Callable[Parameters, Result]) -> Callable[Parameters, Result]:
        def run(*args: Parameters.args, **kwargs: Parameters.kwargs) -> Result:
            start = time.perf_counter()
            result = function(*args, **kwargs)
            TIMES[step] = TIMES.get(step, 0.0) + time.perf_counter() - start
            return result
        return run
    return wrap


# --- the synthetic population ------------------------------------------------------------------

@timed("make the population")
def write_population(folder: pathlib.Path) -> list[pathlib.Path]:
    return example_data.write_subjects(folder, SUBJECTS, seed=2026)


# --- styling --------------------------------------------------------------------------------------

ORGAN_COLOURS = {"liver": "#b5533c", "kidney": "#7d4ba6", "spleen": "#3c78b5"}


def style_collection(collection: anatomy.AnatomicalStructureCollection, *, ghost_prefix: str | None = None
                     ) -> anatomy.AnatomicalStructureCollection:
    """Display options with one style sheet: organ colours, yellow keypoints; structures whose
    identifier starts with ghost_prefix drawn as pale, see-through references."""
    sheet = anatomy.StyleSheet(name="demo")
    for organ, colour in ORGAN_COLOURS.items():
        sheet.append_or_modify(f"mesh#*{organ}", lambda block, c=colour: block.__setitem__("color", c))
    sheet.append_or_modify("keypoint", lambda block: (block.__setitem__("color", "#f2c200"),
                                                      block.__setitem__("point_size", 14.0)))
    if ghost_prefix:
        def ghost(block: Any) -> None:
            block["color"] = "#9a9a9a"
            block["alpha"] = 0.25
        sheet.append_or_modify(f"mesh#{ghost_prefix}*", ghost)
        sheet.append_or_modify(f"keypoint#{ghost_prefix}*", lambda block: block.__setitem__("color", "#555555"))
    options = anatomy.ASCDisplayOptions()
    options.add_style_sheet(sheet, None)
    collection.components.add(options)
    return collection


def overlay(pairs: dict[str, anatomy.AnatomicalStructureCollection]) -> anatomy.GenericASC:
    """One collection holding the structures of several, identifiers prefixed ({prefix: collection})."""
    combined = anatomy.GenericASC()
    for prefix, collection in pairs.items():
        for index in range(collection.num_anatomical_structures()):
            source = collection.anatomical_structure(index)
            copy = anatomy.GenericAnatomicalStructure(prefix + source.identifier)
            copy.matrix_to_world = source.matrix_to_world
            copy.keypoints2 = source.keypoints2.asdict()
            copy.meshes = source.meshes.asdict()
            combined.add(copy)
    return combined


# --- the module docstring's examples -------------------------------------------------------------

def docstring_example(section: str, next_section: str) -> str:
    """The statements of one example section of the module docstring, prompts removed."""
    doc = anatomy.__doc__
    text = doc[doc.index(section): doc.index(next_section)]
    return "\n".join(line[4:] for line in text.splitlines() if line.startswith((">>> ", "... ")))


def run_example(code: str, namespace: dict[str, Any], replacements: Iterable[tuple[str, str]] = ()) -> dict[str, Any]:
    """Runs each top-level statement, reporting one that cannot run as written instead of stopping."""
    for old, new in replacements:
        code = code.replace(old, new)
    for block in re.split(r"\n(?=\S)", code):
        try:
            exec(compile(block, "<module docstring>", "exec"), namespace)
        except Exception as error:  # noqa: BLE001 -- reported, the demo goes on
            print(f"  [docstring line does not run as written: {block.strip()!r}: {error}]")
    return namespace


# --- the steps -----------------------------------------------------------------------------------

def open_collection(path: str | pathlib.Path) -> anatomy.GenericASC:
    collection = corvaxis.open(path)
    assert isinstance(collection, anatomy.GenericASC), f"{path} holds no collection"
    return collection


@timed("label maps to collections")
def collections_from_label_maps(paths: list[pathlib.Path], folder: pathlib.Path) -> list[anatomy.GenericASC]:
    collections = []
    for path in paths:
        label_image = corvaxis.open(path)
        assert isinstance(label_image, corvaxis.SharedImageSet)
        asc = anatomy.generic_asc_from_label_map(label_image, LABELS)
        corvaxis.save(asc, folder / (path.name.split(".")[0] + ".cvx"))
        collections.append(asc)
    return collections


@timed("docstring examples")
def run_docstring_examples(population: list[pathlib.Path]) -> None:
    namespace: dict[str, Any] = {"corvaxis": corvaxis, "anatomy": anatomy}
    print("The module docstring's label-map example, on segmentation.nii:")
    shutil.copy(population[0], "segmentation.nii.gz")
    corvaxis.save(corvaxis.open("segmentation.nii.gz"), "segmentation.nii")
    run_example(docstring_example("**Creating anatomical structures", "**Shape model generation:**"), namespace)
    liver = namespace["liver"]
    print(f"  liver: {liver.meshes['surface'].num_vertices} vertices, "
          f"{liver.meshes.attributes['surface']['volume'] / 1000:.1f} cm3, centroid "
          f"{np.round(liver.keypoints2['centroid'], 1)}")
    corvaxis.save(namespace["asc"], "anatomical_structures.cvx")

    print("The module docstring's first example, on anatomical_structures.cvx:")
    namespace = run_example(docstring_example("**Basic anatomical structure access:**", "**Registration example:**"),
                            namespace, [('keypoints["tip"]', 'keypoints["centroid"]')])
    world = namespace["local_to_world"] @ np.append(namespace["tip_point"], 1.0)
    print(f"  (homogeneous coordinates instead) liver centroid in world: {np.round(world[:3], 2)}")


@timed("registration by points")
def register_by_points(template: anatomy.GenericASC, patient: anatomy.GenericASC) -> Any:
    corvaxis.save(template, "template.cvx")
    corvaxis.save(patient, "patient.cvx")
    print("The module docstring's registration example, patient.cvx onto template.cvx:")
    namespace = run_example(docstring_example("**Registration example:**", "**Creating anatomical structures"),
                            {"corvaxis": corvaxis, "anatomy": anatomy})
    registration = namespace["registration"]
    report_registration("PointsAndPlanes", registration)
    scaled = open_collection("patient.cvx")
    similarity = anatomy.ASCRegistration(open_collection("template.cvx"), scaled)
    similarity.registration_method = anatomy.ASCRegistration.RegistrationMethod.PointsRigidScaling
    similarity.compute()
    report_registration("PointsRigidScaling", similarity)
    return namespace["moving_asc"]


def report_registration(name: str, registration: anatomy.ASCRegistration) -> None:
    if registration.status != 0:
        print(f"  {name}: failed: {registration.status_message}")
        return
    results = registration.results
    print(f"  {name}: {results['correspondences']} correspondences, RMS {results['rms_before']:.2f} mm "
          f"-> {results['rms_after']:.2f} mm")


@timed("the cohort: every subject on every core")
def run_cohort(paths: list[pathlib.Path], folder: pathlib.Path) -> pathlib.Path:
    """The population through corvaxis.cohort: collections, the template of median volumes deformed
    onto every subject (DeformableMeshRegistration), statistics and a shape model."""
    report = cohort.run(paths, folder, labels=LABELS)
    if report["exit_status"] != 0:
        raise RuntimeError(f"the cohort run failed: {report['failed'] or report['model']}")
    with open(folder / "statistics.csv", newline="") as file:
        distances = [float(row["mean_surface_distance_mm"]) for row in csv.DictReader(file)]
    print(f"  template ({report['template']['subject']}) deformed onto {len(report['done'])} subjects by "
          f"{report['workers']} worker processes: mean surface distance {np.mean(distances):.2f} mm "
          f"(worst structure {np.max(distances):.2f} mm); statistics.csv, report.json in {folder}")
    return folder / "template.cvx"


@timed("shape model")
def shape_model(template_path: pathlib.Path, folder: pathlib.Path) -> LinearShapeModel:
    shutil.copy(template_path, "mean_template.cvx")
    print("The module docstring's shape-model example, over the corresponded collections:")
    namespace = run_example(docstring_example("**Shape model generation:**", "For detailed documentation"),
                            {"corvaxis": corvaxis, "anatomy": anatomy},
                            [("/path/to/training/data", str(folder))])
    model = LinearShapeModel(namespace["shape_model"])
    explained = np.cumsum(model.variances) / np.sum(model.variances)
    print(f"  {model.num_modes} modes; the first three explain "
          + ", ".join(f"{100 * value:.0f} %" for value in explained[:3]) + " (cumulative)")
    corvaxis.save(namespace["shape_model"], "shape_model.cvx")
    return model


@timed("pictures")
def draw(before: tuple[anatomy.AnatomicalStructureCollection, anatomy.AnatomicalStructureCollection],
         after: tuple[anatomy.AnatomicalStructureCollection, Any],
         model: LinearShapeModel) -> None:
    render.render_panels(
        [style_collection(overlay({"fixed_": before[0], "moving_": before[1]}), ghost_prefix="fixed_"),
         style_collection(overlay({"fixed_": after[0], "moving_": after[1]}), ghost_prefix="fixed_")],
        "registration.png", titles=["before registration", "after (PointsAndPlanes)"],
        title="patient (coloured) onto template (grey)")
    for mode in range(min(2, model.num_modes)):
        panels = []
        for sigma in (-2.0, 0.0, 2.0):
            coefficients = np.zeros(model.num_modes)
            coefficients[mode] = sigma
            panels.append(style_collection(model.instance(coefficients)))
        render.render_panels(panels, f"shape_mode_{mode + 1}.png",
                             titles=["-2 sigma", "mean", "+2 sigma"], title=f"shape mode {mode + 1}")


def main(folder: str | None = None) -> None:
    started = time.perf_counter()
    out = pathlib.Path(folder or pathlib.Path(__file__).resolve().parent.parent / "build" / "demo").resolve()
    shutil.rmtree(out, ignore_errors=True)
    for folder in ("population", "subjects"):
        (out / folder).mkdir(parents=True)
    os.chdir(out)
    paths = write_population(out / "population")
    print(f"Wrote {len(paths)} label maps ({SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]} voxels of "
          f"{SPACING[0]}x{SPACING[1]}x{SPACING[2]} mm, rotated image matrix) to {out / 'population'}")
    subjects = collections_from_label_maps(paths, out / "subjects")
    found = [subjects[0].anatomical_structure(i).identifier for i in range(subjects[0].num_anatomical_structures())]
    print(f"Collections from the label maps: structures {found} in each of {len(subjects)} subjects")

    run_docstring_examples(paths)

    template, patient = subjects[0], open_collection(out / "subjects" / "subject_05.cvx")
    before = (template.clone(), patient.clone())
    registered = register_by_points(template, patient)

    print("The cohort command's work (corvaxis.cohort.run) over the population:")
    template_path = run_cohort(paths, out / "cohort")
    model = shape_model(template_path, out / "cohort" / "corresponded")

    draw(before, (open_collection("template.cvx"), registered), model)
    print(f"Pictures: {', '.join(sorted(p.name for p in out.glob('*.png')))} in {out}")
    print("Time of each step:")
    for step, seconds in TIMES.items():
        print(f"  {step:<40} {seconds:6.1f} s")
    print(f"Whole run: {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
