"""corvaxis labelmap: a collection of structures from a label image."""

from __future__ import annotations

import argparse
import sys

from corvaxis.cli.common import COLLECTION_SUFFIXES, CommandError, open_file, output_path, parse_labels, save

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
    parser.add_argument("segmentation", metavar="SEG",
                        help="label image: NIfTI (.nii, .nii.gz, .hdr/.img), NRRD (.nrrd, .nhdr, 3D Slicer's "
                             ".seg.nrrd) or .cvx; read as labels whatever its header says")
    parser.add_argument("--labels", metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney; without it the names the "
                             "file gives its labels (3D Slicer segmentations), and 'label N' for the others")
    parser.add_argument("--image", metavar="SCAN",
                        help="intensity image of the same subject, stored with each structure as images['image'] "
                             "(what register --method RigidImages registers)")
    parser.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")
    parser.add_argument("--surface", choices=["smooth", "voxel"], default="smooth",
                        help="smooth surfaces sharing one interface between touching structures (default), "
                             "or the voxels' marching-cubes surface")
    parser.add_argument("--decimate", type=decimate_share, default=1.0, metavar="SHARE",
                        help="keep this share of the triangles, like 0.25 (default 1: all)")


def open_labels(path):
    """The label image at path, as labels whatever its header says, holding integers only."""
    import corvaxis
    from corvaxis.segmentation import first_non_integer

    images = open_file(path, (corvaxis.SharedImageSet, "a label image"))
    if len(images) == 0:
        raise CommandError(f"{path}: holds no image")
    images.modality = corvaxis.Modality.LABEL
    for index in range(len(images)):
        bad = first_non_integer(images.get(index))
        if bad is not None:
            raise CommandError(f"{path}: holds the value {bad:g}, which is not an integer label")
    return images


def report_absent(path, images, labels):
    """Names the labels of the list that no image of the set holds, on standard error."""
    from corvaxis.segmentation import label_counts

    present: set[int] = set()
    for index in range(len(images)):
        present.update(label_counts(images.get(index)))
    for value, name in labels.items():
        if value not in present:
            print(f"corvaxis labelmap: label {value} ({name}) does not occur in {path}", file=sys.stderr)


def run(arguments):
    import corvaxis
    from corvaxis.segmentation import collection_from_segmentation

    output = output_path(arguments.output, COLLECTION_SUFFIXES, "a collection")
    labels = parse_labels(arguments.labels) if arguments.labels is not None else None
    images = open_labels(arguments.segmentation)
    scan = None
    if arguments.image is not None:
        scan = open_file(arguments.image, (corvaxis.SharedImageSet, "an intensity image"))
        if len(scan) == 0:
            raise CommandError(f"{arguments.image}: holds no image")
    if labels is not None:
        report_absent(arguments.segmentation, images, labels)
    try:
        collection = collection_from_segmentation(images, labels, surface=arguments.surface,
                                                  decimate=arguments.decimate)
    except RuntimeError as error:
        raise CommandError(f"{arguments.segmentation}: {error}") from None
    if len(collection) == 0:
        wanted = f"labels {', '.join(str(label) for label in labels)}" if labels else "any label"
        raise CommandError(f"{arguments.segmentation}: no structure was built from {wanted}")
    if scan is not None:
        for identifier in collection.anatomical_structure_identifiers():
            collection.anatomical_structure(identifier).images["image"] = scan
    save(collection, output)
    if not arguments.quiet:
        print(f"{output}: {', '.join(collection.anatomical_structure_identifiers())}")
