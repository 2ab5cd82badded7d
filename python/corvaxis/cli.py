"""The ``corvaxis`` command line: look into files, build collections from label maps, register,
build shape models, draw pictures and export for other tools.

Run ``corvaxis --help`` or ``python -m corvaxis --help``; every subcommand has its own ``--help``.
Mistakes of the user (a missing file, a bad label list, an unknown method) end with one line on
standard error and exit status 2 or 1, never with a traceback; Ctrl-C stops cleanly with status 130.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Sequence
from typing import NoReturn

import numpy as np

PROGRAM = "corvaxis"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure the user can act on; main prints its message as one line."""


# Progress -------------------------------------------------------------------------------------


class PlainProgressBar:
    """A one-line text bar on a stream, for when tqdm is not installed."""

    WIDTH = 30

    def __init__(self, description, stream):
        self.description = description
        self.stream = stream
        self.shown = None

    def update(self, fraction, step):
        fraction = min(max(float(fraction), 0.0), 1.0)
        filled = round(fraction * self.WIDTH)
        text = f"\r{self.description} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {fraction:4.0%} {step}"
        if text != self.shown:
            # Pad over the rest of a longer previous line.
            self.stream.write(text.ljust(len(self.shown or "")))
            self.stream.flush()
            self.shown = text

    def close(self):
        if self.shown is not None:
            self.stream.write("\n")
            self.stream.flush()


class TqdmProgressBar:
    def __init__(self, description, stream):
        from tqdm import tqdm

        self.bar = tqdm(total=1000, desc=description, file=stream, leave=True,
                        bar_format="{desc} {bar} {percentage:3.0f}% {postfix}")

    def update(self, fraction, step):
        target = round(min(max(float(fraction), 0.0), 1.0) * 1000)
        if target > self.bar.n:
            self.bar.update(target - self.bar.n)
        self.bar.set_postfix_str(step, refresh=False)

    def close(self):
        self.bar.close()


def progress_bar(description, stream=None, *, quiet=False):
    """A bar with update(fraction, step) and close(); tqdm's where installed. None when quiet."""
    if quiet:
        return None
    stream = sys.stderr if stream is None else stream
    try:
        return TqdmProgressBar(description, stream)
    except ImportError:
        return PlainProgressBar(description, stream)


class InterruptWatch:
    """Notes Ctrl-C while an algorithm runs, so that the interrupt reaches the caller even where
    a wrapper reports the stopped computation as a failure of its own (a RuntimeError)."""

    def __enter__(self):
        self.interrupted = False
        self.installed = threading.current_thread() is threading.main_thread()
        if self.installed:
            self.previous = signal.signal(signal.SIGINT, self._interrupt)
        return self

    def _interrupt(self, signal_number, frame):
        self.interrupted = True
        raise KeyboardInterrupt

    def __exit__(self, kind, error, trace):
        if self.installed:
            signal.signal(signal.SIGINT, self.previous if self.previous is not None else signal.default_int_handler)
        if self.interrupted and kind is not None and not issubclass(kind, KeyboardInterrupt):
            raise KeyboardInterrupt from error
        return False


def run_algorithm(algorithm, description, quiet, run=None):
    """Compute an algorithm (or call run) with a progress bar fed by its progress callback."""
    bar = progress_bar(description, quiet=quiet)
    # Even without a bar a callback is set: the host looks for Ctrl-C only when it reports.
    algorithm.set_progress_callback(bar.update if bar is not None else lambda fraction, step: None)
    try:
        with InterruptWatch():
            return run() if run is not None else algorithm.compute()
    finally:
        algorithm.set_progress_callback(None)
        if bar is not None:
            bar.close()


# Reading arguments -----------------------------------------------------------------------------


def open_file(path, expected=None):
    """corvaxis.open with the user's mistakes turned into CommandError."""
    import corvaxis

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory, expected a file")
    try:
        data = corvaxis.open(path)
    except corvaxis.FileFormatError as error:
        raise CommandError(str(error)) from None
    if expected is not None and not isinstance(data, expected[0]):
        raise CommandError(f"{path}: holds {type(data).__name__}, expected {expected[1]}")
    return data


def open_collection(path):
    import corvaxis.anatomy as anatomy

    return open_file(path, (anatomy.AnatomicalStructureCollection, "an anatomical structure collection"))


def parse_labels(text: str) -> dict[int, str]:
    """'1=liver,2=kidney' as {1: 'liver', 2: 'kidney'}."""
    labels: dict[int, str] = {}
    for item in text.split(","):
        value, separator, name = item.partition("=")
        value, name = value.strip(), name.strip()
        if not separator or not value or not name:
            raise CommandError(f"bad label list '{text}': expected items like 1=liver separated by commas")
        try:
            label = int(value)
        except ValueError:
            raise CommandError(f"bad label list '{text}': '{value}' is not an integer label value") from None
        if not -2**31 <= label < 2**31:
            raise CommandError(f"bad label list '{text}': label {label} is out of range")
        if label in labels:
            raise CommandError(f"bad label list '{text}': label {label} is given twice")
        if name in labels.values():
            raise CommandError(f"bad label list '{text}': name '{name}' is given twice")
        labels[label] = name
    return labels


def parse_view(text):
    from corvaxis import render

    if text in render.VIEWS:
        return text
    try:
        azimuth, elevation = (float(part) for part in text.split(","))
    except ValueError:
        raise CommandError(f"unknown view '{text}': expected one of {', '.join(render.VIEWS)} "
                           "or AZIMUTH,ELEVATION in degrees") from None
    return azimuth, elevation


def parse_size(text):
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise CommandError(f"bad size '{text}': expected WIDTHxHEIGHT in pixels, like 800x600") from None
    if width < 16 or height < 16 or width > 10000 or height > 10000:
        raise CommandError(f"bad size '{text}': width and height must lie in [16, 10000]")
    return width, height


def registration_method(name):
    import corvaxis.anatomy as anatomy

    members = anatomy.ASCRegistration.RegistrationMethod.__members__
    wanted = name.replace("-", "").replace("_", "").lower()
    for member_name, member in members.items():
        if member_name.lower() == wanted:
            return member
    raise CommandError(f"unknown registration method '{name}': expected one of {', '.join(members)}")


def save(data, path):
    import corvaxis

    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CommandError(f"{path}: the directory {directory} does not exist")
    corvaxis.save(data, path)


# Subcommands -------------------------------------------------------------------------------------


def describe(data) -> list[str]:
    """Lines telling what a data object holds."""
    import corvaxis

    kind = type(data).__name__
    if hasattr(data, "anatomical_structure"):
        lines = [f"{kind} with {len(data)} anatomical structure{'s' if len(data) != 1 else ''}"]
        for index in range(len(data)):
            structure = data.anatomical_structure(index)
            lines.append(f"  {structure.identifier}:")
            stores = (("keypoints", structure.keypoints2), ("planes", structure.planes),
                      ("meshes", structure.meshes), ("point clouds", structure.pointclouds),
                      ("graphs", structure.graphs), ("images", structure.images))
            for label, store in stores:
                keys = list(store.keys())
                if keys:
                    lines.append(f"    {label}: {', '.join(keys)}")
            if not np.allclose(structure.matrix_to_world, np.eye(4)):
                lines.append(f"    matrix_to_world: translation {np.round(structure.matrix_to_world[:3, 3], 3).tolist()}")
        return lines
    if isinstance(data, corvaxis.SharedImageSet):
        lines = [repr(data)]
        if len(data):
            lines.append(f"  spacing: {np.round(data.spacing, 6).tolist()}")
            if data.modality == corvaxis.Modality.LABEL:
                values, counts = np.unique(data.get(), return_counts=True)
                listed = ", ".join(f"{value} ({count} voxels)" for value, count in zip(values.tolist(), counts.tolist())
                                   if value != 0)
                lines.append(f"  labels: {listed or 'none'}")
        return lines
    return [repr(data)]


def command_info(arguments):
    for line in describe(open_file(arguments.file)):
        print(line)


def command_labelmap(arguments):
    import corvaxis
    import corvaxis.anatomy as anatomy

    labels = parse_labels(arguments.labels)
    image = open_file(arguments.segmentation, (corvaxis.SharedImageSet, "a label image"))
    collection = anatomy.generic_asc_from_label_map(image, labels)
    if collection is None or len(collection) == 0:
        raise CommandError(f"{arguments.segmentation}: no structure was built from labels "
                           f"{', '.join(str(label) for label in labels)}")
    save(collection, arguments.output)
    if not arguments.quiet:
        print(f"{arguments.output}: {', '.join(collection.anatomical_structure_identifiers())}")


def command_register(arguments):
    import corvaxis.anatomy as anatomy

    method = registration_method(arguments.method)
    fixed = open_collection(arguments.fixed)
    moving = open_collection(arguments.moving)
    registration = anatomy.ASCRegistration(fixed, moving)
    registration.registration_method = method
    run_algorithm(registration, f"register ({method.name})", arguments.quiet)
    if registration.status != 0:
        raise CommandError(f"registration failed: {registration.status_message or 'status ' + str(registration.status)}")
    save(moving, arguments.output)
    if not arguments.quiet:
        for name, value in registration.results.items():
            print(f"{name}: {value}")


def command_shape_model(arguments):
    import corvaxis.anatomy as anatomy

    if not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: no such directory")
    mean = open_collection(arguments.mean)
    generator = anatomy.GenerateLinearShapeModel(mean)
    generator.p_inputDirectory = os.path.abspath(arguments.directory)
    results = run_algorithm(generator, "shape model", arguments.quiet, run=generator)
    save(results["shape_model"], arguments.output)
    if arguments.mean_output:
        if results.get("mean") is None:
            raise CommandError("the shape model computation gave no updated mean shape")
        save(results["mean"], arguments.mean_output)


def command_render(arguments):
    from corvaxis import render

    collections = [open_collection(path) for path in arguments.files]
    view = parse_view(arguments.view)
    size = parse_size(arguments.size) if arguments.size else (800 * len(collections), 600)
    titles = arguments.titles.split(",") if arguments.titles else None
    if titles is not None and len(titles) != len(collections):
        raise CommandError(f"{len(titles)} titles given for {len(collections)} files")
    if titles is None and len(collections) > 1:
        titles = [os.path.basename(path) for path in arguments.files]
    directory = os.path.dirname(os.path.abspath(arguments.output))
    if not os.path.isdir(directory):
        raise CommandError(f"{arguments.output}: the directory {directory} does not exist")
    render.render_panels(collections, arguments.output, titles=titles, view=view, size=size,
                         title=arguments.title, legend=not arguments.no_legend)


def command_export(arguments):
    from corvaxis import export

    collection = open_collection(arguments.file)
    if os.path.exists(arguments.directory) and not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: exists and is not a directory")
    written = export.export_collection(collection, arguments.directory, mesh_format=arguments.mesh_format,
                                       binary=not arguments.ascii)
    if not arguments.quiet:
        for path in written:
            print(path)


# The parser ----------------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, not argparse's usage block: the usage is one --help away.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROGRAM, description="Scripting 3-D anatomy: look into files, build collections "
                     "from label maps, register them, build shape models, draw and export them.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def add(name, handler, help_text, quiet=True):
        command = commands.add_parser(name, help=help_text, description=help_text)
        command.set_defaults(handler=handler)
        if quiet:
            command.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors, no progress bar")
        return command

    info = add("info", command_info, "Tell what a .cvx or NIfTI file holds.", quiet=False)
    info.add_argument("file", help="a .cvx or NIfTI (.nii, .nii.gz) file")

    labelmap = add("labelmap", command_labelmap, "Build a collection of structures from a label image.")
    labelmap.add_argument("segmentation", metavar="SEG", help="label image (NIfTI or .cvx)")
    labelmap.add_argument("--labels", required=True, metavar="LIST",
                          help="label values and structure names, like 1=liver,2=kidney")
    labelmap.add_argument("-o", "--output", required=True, help="collection file to write (.cvx)")

    register = add("register", command_register, "Register the MOVING collection onto the FIXED one and save it.")
    register.add_argument("fixed", metavar="FIXED", help="collection file that stays in place")
    register.add_argument("moving", metavar="MOVING", help="collection file that is moved")
    register.add_argument("--method", default="PointsAndPlanes",
                          help="PointsAndPlanes (default), PointsRigidScaling, DeformableMeshRegistration or "
                               "RigidImages; case and dashes do not matter")
    register.add_argument("-o", "--output", required=True, help="file for the registered moving collection")

    shape_model = add("shape-model", command_shape_model, "Build a linear shape model from a directory of "
                      "collections (.cvx) registered onto a mean shape.")
    shape_model.add_argument("mean", metavar="MEAN", help="mean shape collection file")
    shape_model.add_argument("directory", metavar="DIR", help="directory of training collections (.cvx)")
    shape_model.add_argument("-o", "--output", required=True, help="file for the shape model collection")
    shape_model.add_argument("--mean-output", metavar="FILE", help="file for the updated mean shape, when computed")

    picture = add("render", command_render, "Draw one or more collections to a PNG picture, side by side.",
                  quiet=False)
    picture.add_argument("files", metavar="FILE", nargs="+", help="collection files (.cvx)")
    picture.add_argument("-o", "--output", required=True, help="PNG file to write")
    picture.add_argument("--view", default="oblique",
                         help="front, back, left, right, top, bottom, oblique (default) or AZIMUTH,ELEVATION")
    picture.add_argument("--size", help="WIDTHxHEIGHT in pixels (default 800x600 per file)")
    picture.add_argument("--title", help="title above the picture")
    picture.add_argument("--titles", help="comma-separated titles of the panels (default: the file names)")
    picture.add_argument("--no-legend", action="store_true", help="leave out the structure names")

    export = add("export", command_export, "Write meshes (PLY/STL/OBJ), point clouds (PLY) and keypoints and "
                 "planes (landmarks.json) of a collection into a directory, in world coordinates.")
    export.add_argument("file", metavar="FILE", help="collection file (.cvx)")
    export.add_argument("directory", metavar="DIR", help="directory to write into (created when missing)")
    export.add_argument("--mesh-format", choices=("ply", "stl", "obj"), default="ply", help="default ply")
    export.add_argument("--ascii", action="store_true", help="text PLY instead of binary")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    try:
        arguments.handler(arguments)
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except CommandError as error:
        print(f"{PROGRAM} {arguments.command}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except (OSError, ValueError, RuntimeError) as error:
        # Failures the host reports about the user's data or system, with their own message.
        message = " ".join(str(error).split()) or type(error).__name__
        print(f"{PROGRAM} {arguments.command}: error: {message}", file=sys.stderr)
        return EXIT_FAILURE
    return 0


def console_main() -> NoReturn:
    sys.exit(main())
