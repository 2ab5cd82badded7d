"""corvaxis stats: per-structure statistics of collections as a CSV table."""

from __future__ import annotations

from corvaxis.cli.common import TABLE_SUFFIXES, CommandError, make_parent_folders, open_collection, output_path

NAME = "stats"
HELP = ("Write one row per collection and structure (label, voxel count, volume, surface area, centroid) "
        "to a CSV table, with the columns of the cohort command's statistics.csv.")


def add_arguments(parser):
    parser.add_argument("files", metavar="FILE", nargs="+", help="collection files (.cvx); the subject is the file "
                        "name without its suffixes")
    parser.add_argument("-o", "--output", required=True, help="CSV file to write (missing folders are created)")


def run(arguments):
    from corvaxis import measurements

    output = output_path(arguments.output, TABLE_SUFFIXES, "a statistics table")
    subjects: dict[str, str] = {}
    for path in arguments.files:
        subject = measurements.subject_name(path)
        if subject in subjects:
            raise CommandError(f"{path} and {subjects[subject]} have one subject name, '{subject}'")
        subjects[subject] = path
    rows = []
    for subject, path in sorted(subjects.items()):
        rows.extend(measurements.structure_rows(open_collection(path), subject))
    make_parent_folders(output)
    measurements.write_statistics(rows, output)
    if not arguments.quiet:
        print(f"{output}: {len(rows)} rows from {len(subjects)} file{'s' if len(subjects) != 1 else ''}")
