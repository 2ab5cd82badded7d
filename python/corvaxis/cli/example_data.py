"""corvaxis example-data: synthetic subjects' segmentations to try the other commands on."""

from __future__ import annotations

import os

from corvaxis.cli.common import CommandError

NAME = "example-data"
HELP = ("Write synthetic subjects' label maps (1 liver, 2 kidney, 3 spleen) as DIR/subject_NN.nii.gz, "
        "the subjects the demo draws.")


def add_arguments(parser):
    parser.add_argument("directory", metavar="DIR", help="directory to write into (created when missing)")
    parser.add_argument("--subjects", type=int, default=4, metavar="N", help="how many subjects (default 4)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the random variation (default 2026)")
    parser.add_argument("--scans", action="store_true",
                        help="also write an intensity scan of each subject as DIR/scans/subject_NN.nii.gz")


def run(arguments):
    from corvaxis import example_data

    if not 1 <= arguments.subjects <= 1000:
        raise CommandError(f"--subjects {arguments.subjects}: give a number from 1 to 1000")
    if os.path.exists(arguments.directory) and not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: exists and is not a directory")
    paths = example_data.write_subjects(arguments.directory, arguments.subjects, seed=arguments.seed,
                                        scans=arguments.scans)
    if not arguments.quiet:
        for path in paths:
            print(path)
