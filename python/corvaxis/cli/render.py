"""corvaxis render: draw collections side by side into a PNG picture."""

from __future__ import annotations

import os

from corvaxis.cli.common import PICTURE_SUFFIXES, CommandError, make_parent_folders, open_collection, output_path

NAME = "render"
HELP = "Draw one or more collections to a PNG picture, side by side."
QUIET_OPTION = False


def add_arguments(parser):
    parser.add_argument("files", metavar="FILE", nargs="+", help="collection files (.cvx)")
    parser.add_argument("-o", "--output", required=True, help="PNG file to write (missing folders are created)")
    parser.add_argument("--view", default="oblique",
                        help="front, back, left, right, top, bottom (named by where the camera stands, the world "
                        "read as RAS: front shows the patient's right on the picture's left), oblique (default: "
                        "from the front, right and above) or AZIMUTH,ELEVATION in degrees (0,0 is the back view)")
    parser.add_argument("--size", help="WIDTHxHEIGHT in pixels (default 800x600 per file)")
    parser.add_argument("--title", help="title above the picture")
    parser.add_argument("--titles", help="comma-separated titles of the panels (default: the file names)")
    parser.add_argument("--no-legend", action="store_true", help="leave out the structure names")


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


def run(arguments):
    from corvaxis import render

    output = output_path(arguments.output, PICTURE_SUFFIXES, "a picture")
    collections = [open_collection(path) for path in arguments.files]
    view = parse_view(arguments.view)
    size = parse_size(arguments.size) if arguments.size else (800 * len(collections), 600)
    titles = arguments.titles.split(",") if arguments.titles else None
    if titles is not None and len(titles) != len(collections):
        raise CommandError(f"{len(titles)} titles given for {len(collections)} files")
    if titles is None and len(collections) > 1:
        titles = [os.path.basename(path) for path in arguments.files]
    make_parent_folders(output)
    render.render_panels(collections, output, titles=titles, view=view, size=size,
                         title=arguments.title, legend=not arguments.no_legend)
