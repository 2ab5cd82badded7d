"""corvaxis labelmap: a collection of structures from a label image."""

from __future__ import annotations

from corvaxis.cli.common import COLLECTION_SUFFIXES, CommandError, open_file, output_path, parse_labels, save

NAME = "labelmap"
HELP = "Build a collection of structures from a label image."


def add_arguments(parser):
    parser.add_argument("segmentation", metavar="SEG", help="label image (NIfTI or .cvx)")
    parser.add_argument("--labels", required=True, metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney")
    parser.add_argument("--image", metavar="SCAN",
                        help="intensity image of the same subject, stored with each structure as images['image'] "
                             "(what register --method RigidImages registers)")
    parser.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")


def run(arguments):
    import corvaxis
    import corvaxis.anatomy as anatomy

    output = output_path(arguments.output, COLLECTION_SUFFIXES, "a collection")
    labels = parse_labels(arguments.labels)
    image = open_file(arguments.segmentation, (corvaxis.SharedImageSet, "a label image"))
    scan = None
    if arguments.image is not None:
        scan = open_file(arguments.image, (corvaxis.SharedImageSet, "an intensity image"))
        if len(scan) == 0:
            raise CommandError(f"{arguments.image}: holds no image")
    collection = anatomy.generic_asc_from_label_map(image, labels)
    if collection is None or len(collection) == 0:
        raise CommandError(f"{arguments.segmentation}: no structure was built from labels "
                           f"{', '.join(str(label) for label in labels)}")
    if scan is not None:
        for identifier in collection.anatomical_structure_identifiers():
            collection.anatomical_structure(identifier).images["image"] = scan
    save(collection, output)
    if not arguments.quiet:
        print(f"{output}: {', '.join(collection.anatomical_structure_identifiers())}")
