"""corvaxis shape-model: a linear shape model from a directory of corresponded collections."""

from __future__ import annotations

import os

from corvaxis.cli.common import CommandError, open_collection, run_algorithm, save

NAME = "shape-model"
HELP = "Build a linear shape model from a directory of collections (.cvx) registered onto a mean shape."


def add_arguments(parser):
    parser.add_argument("mean", metavar="MEAN", help="mean shape collection file")
    parser.add_argument("directory", metavar="DIR", help="directory of training collections (.cvx)")
    parser.add_argument("-o", "--output", required=True, help="file for the shape model collection")
    parser.add_argument("--mean-output", metavar="FILE", help="file for the updated mean shape, when computed")


def run(arguments):
    import corvaxis.anatomy as anatomy

    if not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: no such directory")
    mean = open_collection(arguments.mean)
    generator = anatomy.GenerateLinearShapeModel(mean)
    generator.p_inputDirectory = os.path.abspath(arguments.directory)
    try:
        results = run_algorithm(generator, "shape model", arguments.quiet, run=generator)
    except RuntimeError:
        # The call's own message is a fixed text; the algorithm says why.
        if generator.status not in (0, generator.Status.UNKNOWN) and generator.status_message:
            raise CommandError(f"shape model failed: {generator.status_message}") from None
        raise
    save(results["shape_model"], arguments.output)
    if arguments.mean_output:
        if results.get("mean") is None:
            raise CommandError("the shape model computation gave no updated mean shape")
        save(results["mean"], arguments.mean_output)
