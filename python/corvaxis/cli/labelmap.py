"""corvaxis labelmap: a collection of structures from a label image."""

from __future__ import annotations

import warnings

from corvaxis.cli.common import CommandError, open_file, parse_labels, save

NAME = "labelmap"
HELP = "Build a collection of structures from a label image."


def add_arguments(parser):
    parser.add_argument("segmentation", metavar="SEG", help="label image (NIfTI or .cvx)")
    parser.add_argument("--labels", required=True, metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney")
    parser.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")


def run(arguments):
    import corvaxis
    import corvaxis.anatomy as anatomy

    labels = parse_labels(arguments.labels)
    image = open_file(arguments.segmentation, (corvaxis.SharedImageSet, "a label image"))
    with warnings.catch_warnings(record=True) as failures:
        warnings.simplefilter("always", RuntimeWarning)
        collection = anatomy.generic_asc_from_label_map(image, labels)
    if collection is None or len(collection) == 0:
        # The conversion warns with its own reason when it failed.
        reasons = "".join(f": {failure.message}" for failure in failures if issubclass(failure.category, RuntimeWarning))
        raise CommandError(f"{arguments.segmentation}: no structure was built from labels "
                           f"{', '.join(str(label) for label in labels)}{reasons}")
    save(collection, arguments.output)
    if not arguments.quiet:
        print(f"{arguments.output}: {', '.join(collection.anatomical_structure_identifiers())}")
