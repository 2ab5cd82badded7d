"""The main job: build a small anatomy collection, save it, and run the module's own first
example against the saved file; then write a template and a displaced patient and run the
module's registration example against them.

Run with `make demo`; it writes build/demo/anatomical_structures.cvx, template.cvx and patient.cvx.
"""

import os
import pathlib
import re

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy


def build_collection():
    asc = anatomy.GenericASC()

    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.keypoints2 = {"tip": [10.0, 42.0, -7.5], "hilum": [4.0, 30.0, -2.0]}
    liver.planes["cut"] = [0.0, 0.0, 1.0, -5.0]
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    faces = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
    liver.meshes["surface"] = corvaxis.Mesh(vertices, faces)
    liver.matrix_to_world = np.array(
        [[1, 0, 0, 100], [0, 1, 0, -20], [0, 0, 1, 5], [0, 0, 0, 1]], dtype=float
    )
    asc.add(liver)

    kidney = anatomy.GenericAnatomicalStructure("kidney")
    kidney.pointclouds["samples"] = corvaxis.PointCloud(np.random.default_rng(7).normal(size=(50, 3)))
    nodes = np.array([[0, 0, 0], [0, 0, 10], [5, 0, 15]], dtype=float)
    vessels = corvaxis.Graph(nodes, np.array([[0, 1], [1, 2]]), directed=True)
    kidney.graphs["vessels"] = vessels
    labels = np.zeros((4, 8, 8), dtype=np.uint8)
    labels[1:3, 2:6, 2:6] = 1
    kidney.images["label"] = corvaxis.SharedImageSet(labels, spacing=(0.5, 0.5, 2.0), modality=corvaxis.Modality.LABEL)
    asc.add(kidney)
    return asc


def displaced_patient(template, matrix):
    """A copy of the template whose keypoints and planes were moved by matrix (a patient lying
    elsewhere); registering it onto the template undoes that move."""
    patient = template.clone()
    for index in range(len(patient)):
        structure = patient.anatomical_structure(index)
        structure.keypoints2 = {
            key: (matrix @ np.append(point, 1.0))[:3] for key, point in structure.keypoints2.asdict().items()
        }
        structure.planes = {key: np.linalg.inv(matrix).T @ plane for key, plane in structure.planes.asdict().items()}
    return patient


def docstring_example(section, next_section):
    """The statements of one example section of the module docstring, prompts removed."""
    doc = anatomy.__doc__
    text = doc[doc.index(section) : doc.index(next_section)]
    lines = [line[4:] for line in text.splitlines() if line.startswith((">>> ", "... "))]
    return "\n".join(lines)


def run_statement_by_statement(code, namespace):
    """Runs each top-level statement, reporting any that cannot run instead of stopping."""
    for block in re.split(r"\n(?=\S)", code):
        try:
            exec(compile(block, "<module docstring>", "exec"), namespace)
        except Exception as error:  # noqa: BLE001 -- reported, the demo goes on
            print(f"  [docstring line does not run as written: {block.strip()!r}: {error}]")


def main():
    out = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo"
    out.mkdir(parents=True, exist_ok=True)
    os.chdir(out)

    asc = build_collection()
    print(f"Built {asc}")
    corvaxis.save(asc, "anatomical_structures.cvx")
    print(f"Saved {out / 'anatomical_structures.cvx'}")

    print("Running the module docstring's first example against it:")
    namespace = {}
    run_statement_by_statement(
        docstring_example("**Basic anatomical structure access:**", "**Registration example:**"), namespace
    )

    liver = namespace["liver"]
    tip = namespace["tip_point"]
    world_tip = namespace["local_to_world"] @ np.append(tip, 1.0)
    print(f"Tip {tip} in world coordinates (homogeneous): {world_tip[:3]}")

    reopened = corvaxis.open("anatomical_structures.cvx")
    kidney = reopened.anatomical_structure("kidney")
    print(f"Kidney stores: images={kidney.images.keys()} pointclouds={kidney.pointclouds.keys()} "
          f"graphs={kidney.graphs.keys()}")
    print(f"Liver surface mesh: {liver.meshes['surface']}")
    print(f"Well-known key for the left pedicle: {corvaxis.keys.spine.vertebra.left_pedicle.key}")

    template = build_collection()
    template.anatomical_structure("kidney").keypoints2 = {"pole": [3.0, -8.0, 12.0]}
    angle = np.radians(12.0)
    displacement = np.array([[np.cos(angle), -np.sin(angle), 0, 14], [np.sin(angle), np.cos(angle), 0, -6],
                             [0, 0, 1, 3], [0, 0, 0, 1]])
    corvaxis.save(template, "template.cvx")
    corvaxis.save(displaced_patient(template, displacement), "patient.cvx")
    print("Running the module docstring's registration example on template.cvx and patient.cvx:")
    # The example goes on from the imports at the top of the docstring's examples.
    namespace = {"corvaxis": corvaxis, "anatomy": anatomy}
    run_statement_by_statement(
        docstring_example("**Registration example:**", "**Creating anatomical structures"), namespace
    )
    registration = namespace.get("registration")
    if registration is not None and registration.status == 0:
        results = registration.results
        print(f"Registered {results['correspondences']} pairs: RMS {results['rms_before']:.3f} -> "
              f"{results['rms_after']:.2e} world units")
        print(f"Transformation (patient to template):\n{np.array2string(results['transformation'], precision=4)}")
    elif registration is not None:
        print(f"Registration failed: {registration.status_message}")

    shape_model_example(asc)


def shape_model_example(asc):
    """Writes a mean template and a small training population of deformed, moved livers, then runs
    the docstring's shape-model example on them (its training path pointing at that directory)."""
    from corvaxis.shape_model import LinearShapeModel

    template = asc.clone()
    template.pop("kidney")
    corvaxis.save(template, "mean_template.cvx")
    training = pathlib.Path("training")
    training.mkdir(exist_ok=True)
    rng = np.random.default_rng(3)
    for index in range(12):
        shape = template.clone()
        liver = shape.anatomical_structure("liver")
        # Each liver deformed a little and shifted as a whole; the alignment takes the shift out.
        shift = np.array([index, 2.0 * index, 0.0])
        liver.keypoints2 = {key: point + shift + rng.normal(scale=1.5, size=3)
                            for key, point in liver.keypoints2.asdict().items()}
        surface = liver.meshes["surface"]
        surface.set_geometry(surface.vertices + rng.normal(scale=1.0, size=surface.vertices.shape), surface.faces)
        surface.matrix = surface.matrix @ np.array([[1, 0, 0, shift[0]], [0, 1, 0, shift[1]], [0, 0, 1, 0], [0, 0, 0, 1]])
        liver.meshes["surface"] = surface
        corvaxis.save(shape, training / f"liver_{index:02d}.cvx")

    print("Running the module docstring's shape-model example on 12 training livers:")
    # The docstring's first lines import these two.
    namespace = {"corvaxis": corvaxis, "anatomy": anatomy}
    code = docstring_example("**Shape model generation:**", "For detailed documentation")
    run_statement_by_statement(code.replace("/path/to/training/data", str(training.resolve())), namespace)
    model = LinearShapeModel(namespace["shape_model"])
    print(f"  {model}; standard deviations {np.sqrt(model.variances[:3]).round(2)}; "
          f"updated mean: {namespace['updated_mean']}")


if __name__ == "__main__":
    main()
