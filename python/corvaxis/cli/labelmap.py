"""corvaxis labelmap: a collection of structures from a label image."""

from __future__ import annotations

import sys

from corvaxis.cli.common import CommandError, open_file, parse_labels, save

NAME = "labelmap"
HELP = "Build a collection of structures from a label image."


def add_arguments(parser):
    parser.add_argument("segmentation", metavar="SEG",
                        help="label image: NIfTI (.nii, .nii.gz, .hdr/.img), NRRD (.nrrd, .nhdr, 3D Slicer's "
                             ".seg.nrrd) or .cvx; read as labels whatever its header says")
    parser.add_argument("--labels", metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney; without it the names the "
                             "file gives its labels (3D Slicer segmentations), and 'label N' for the others")
    parser.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")


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
    from corvaxis.segmentation import collection_from_segmentation

    labels = parse_labels(arguments.labels) if arguments.labels is not None else None
    images = open_labels(arguments.segmentation)
    if labels is not None:
        report_absent(arguments.segmentation, images, labels)
    collection = collection_from_segmentation(images, labels)
    if len(collection) == 0:
        wanted = f"labels {', '.join(str(label) for label in labels)}" if labels else "any label"
        raise CommandError(f"{arguments.segmentation}: no structure was built from {wanted}")
    save(collection, arguments.output)
    if not arguments.quiet:
        print(f"{arguments.output}: {', '.join(collection.anatomical_structure_identifiers())}")
