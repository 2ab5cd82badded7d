"""corvaxis labelmap: a collection of structures from a label image."""

from __future__ import annotations

import argparse

from corvaxis.cli.common import COLLECTION_SUFFIXES, CommandError, open_file, output_path, parse_labels, run_algorithm, save

NAME = "labelmap"
HELP = "Build a collection of structures from a label image."


def decimate_share(text):
    """--decimate: the share of triangles kept, in (0, 1]."""
    try:
        share = float(text)
    except ValueError:
        share = None
    if share is None or not 0.0 < share <= 1.0:
        raise argparse.ArgumentTypeError(f"the share of triangles kept is a number in (0, 1], not '{text}'")
    return share


def add_arguments(parser):
    parser.add_argument("segmentation", metavar="SEG", help="label image (NIfTI or .cvx)")
    parser.add_argument("--labels", required=True, metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney")
    parser.add_argument("--image", metavar="SCAN",
                        help="intensity image of the same subject, stored with each structure as images['image'] "
                             "(what register --method RigidImages registers)")
    parser.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")
    parser.add_argument("--surface", choices=["smooth", "voxel"], default="smooth",
                        help="smooth surfaces sharing one interface between touching structures (default), "
                             "or the voxels' marching-cubes surface")
    parser.add_argument("--decimate", type=decimate_share, default=1.0, metavar="SHARE",
                        help="keep this share of the triangles, like 0.25 (default 1: all)")


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
    algorithm = anatomy.GenericASCFromMultiLabelMap(image, labels)
    algorithm.p_surface = anatomy.GenericASCFromMultiLabelMap.Surface[arguments.surface.upper()]
    algorithm.p_decimate = arguments.decimate
    try:
        collection = run_algorithm(algorithm, "labelmap", arguments.quiet, run=algorithm)
    except RuntimeError as error:
        raise CommandError(f"{arguments.segmentation}: {error}") from None
    if collection is None or len(collection) == 0:
        raise CommandError(f"{arguments.segmentation}: no structure was built from labels "
                           f"{', '.join(str(label) for label in labels)}")
    if scan is not None:
        for identifier in collection.anatomical_structure_identifiers():
            collection.anatomical_structure(identifier).images["image"] = scan
    save(collection, output)
    if not arguments.quiet:
        print(f"{output}: {', '.join(collection.anatomical_structure_identifiers())}")
