"""corvaxis shape-model: a linear shape model from a directory of corresponded collections."""

from __future__ import annotations

import os

from corvaxis.cli.common import COLLECTION_SUFFIXES, CommandError, open_collection, output_path, run_algorithm, save_all

NAME = "shape-model"
HELP = ("Build a linear shape model from a directory of collections (.cvx) whose meshes correspond vertex by "
        "vertex, such as a template deformed onto each subject (register --method DeformableMeshRegistration).")


def add_arguments(parser):
    parser.add_argument("mean", metavar="MEAN", help="mean shape collection file")
    parser.add_argument("directory", metavar="DIR", help="directory of training collections (.cvx)")
    parser.add_argument("-o", "--output", required=True, help="file for the shape model collection (.cvx)")
    parser.add_argument("--mean-output", metavar="FILE",
                        help="re-estimate the mean shape from the aligned training shapes and write it here (.cvx)")


def run(arguments):
    import corvaxis.anatomy as anatomy

    output = output_path(arguments.output, COLLECTION_SUFFIXES, "the shape model")
    mean_output = None
    if arguments.mean_output:
        mean_output = output_path(arguments.mean_output, COLLECTION_SUFFIXES, "the mean shape")
        if os.path.abspath(mean_output) == os.path.abspath(output):
            raise CommandError(f"{mean_output}: the shape model and the mean shape need two different files")
    if not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: no such directory")
    mean = open_collection(arguments.mean)
    generator = anatomy.GenerateLinearShapeModel(mean)
    generator.p_inputDirectory = os.path.abspath(arguments.directory)
    generator.p_updateMean = mean_output is not None
    try:
        results = run_algorithm(generator, "shape model", arguments.quiet, run=generator)
    except RuntimeError:
        # The call's own message is a fixed text; the algorithm says why.
        if generator.status not in (0, generator.Status.UNKNOWN) and generator.status_message:
            raise CommandError(f"shape model failed: {generator.status_message}") from None
        raise
    outputs = [(results["shape_model"], output)]
    if mean_output is not None:
        if results.get("mean") is None:
            raise CommandError("the shape model computation gave no updated mean shape")
        outputs.append((results["mean"], mean_output))
    # Both files or neither.
    save_all(outputs)
