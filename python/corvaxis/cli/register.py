"""corvaxis register: move one collection onto another."""

from __future__ import annotations

from corvaxis.cli.common import (COLLECTION_SUFFIXES, CommandError, open_collection, output_path, registration_method,
                                 run_algorithm, save)

NAME = "register"
HELP = "Register the MOVING collection onto the FIXED one and save it."


def add_arguments(parser):
    parser.add_argument("fixed", metavar="FIXED", help="collection file that stays in place")
    parser.add_argument("moving", metavar="MOVING", help="collection file that is moved")
    parser.add_argument("--method", default="PointsAndPlanes",
                        help="PointsAndPlanes (default), PointsRigidScaling, DeformableMeshRegistration or "
                             "RigidImages (images stored by labelmap --image); case and dashes do not matter")
    parser.add_argument("-o", "--output", required=True,
                        help="file for the registered moving collection (.cvx; missing folders are created)")


def run(arguments):
    import corvaxis.anatomy as anatomy

    output = output_path(arguments.output, COLLECTION_SUFFIXES, "the registered collection")
    method = registration_method(arguments.method)
    fixed = open_collection(arguments.fixed)
    moving = open_collection(arguments.moving)
    registration = anatomy.ASCRegistration(fixed, moving)
    registration.registration_method = method
    run_algorithm(registration, f"register ({method.name})", arguments.quiet)
    if registration.status != 0:
        raise CommandError(f"registration failed: {registration.status_message or 'status ' + str(registration.status)}")
    save(moving, output)
    if not arguments.quiet:
        for name, value in registration.results.items():
            print(f"{name}: {value}")
