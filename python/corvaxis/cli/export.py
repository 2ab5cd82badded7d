"""corvaxis export: meshes, point clouds and landmarks of a collection for other tools."""

from __future__ import annotations

import os

from corvaxis.cli.common import CommandError, open_collection

NAME = "export"
HELP = ("Write meshes (PLY/STL/OBJ), point clouds (PLY) and keypoints and planes (landmarks.json) of a "
        "collection into a directory, in world coordinates.")


def add_arguments(parser):
    parser.add_argument("file", metavar="FILE", help="collection file (.cvx)")
    parser.add_argument("directory", metavar="DIR", help="directory to write into (created when missing)")
    parser.add_argument("--mesh-format", choices=("ply", "stl", "obj"), default="ply", help="default ply")
    parser.add_argument("--ascii", action="store_true", help="text PLY instead of binary")


def run(arguments):
    from corvaxis import export

    collection = open_collection(arguments.file)
    if os.path.exists(arguments.directory) and not os.path.isdir(arguments.directory):
        raise CommandError(f"{arguments.directory}: exists and is not a directory")
    written = export.export_collection(collection, arguments.directory, mesh_format=arguments.mesh_format,
                                       binary=not arguments.ascii)
    if not arguments.quiet:
        for path in written:
            print(path)
