"""The ``corvaxis`` command line: look into files, build collections from label maps, register,
build shape models, draw pictures and export for other tools.

Run ``corvaxis --help`` or ``python -m corvaxis --help``; every subcommand has its own ``--help``.
Mistakes of the user (a missing file, a bad label list, an unknown method) end with one line on
standard error and exit status 2 or 1, never with a traceback; Ctrl-C stops cleanly with status 130.
Each subcommand is a module of this package with NAME, HELP, add_arguments(parser) and run(arguments).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import NoReturn

import corvaxis
from corvaxis.cli import cohort, example_data, export, info, labelmap, register, render, shape_model, stats
from corvaxis.cli.common import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, CommandError

PROGRAM = "corvaxis"

# In the order --help lists them.
COMMANDS = (example_data, info, stats, labelmap, register, shape_model, cohort, render, export)


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, not argparse's usage block: the usage is one --help away.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROGRAM, description="Scripting 3-D anatomy: look into files, build collections "
                     "from label maps, register them, build shape models, draw and export them.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {corvaxis.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    for module in COMMANDS:
        command = commands.add_parser(module.NAME, help=module.HELP, description=module.HELP)
        command.set_defaults(handler=module.run)
        if getattr(module, "QUIET_OPTION", True):
            command.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors, no progress bar")
        module.add_arguments(command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    try:
        # A handler may return an exit status of its own (cohort: 3 when some subjects failed).
        status = arguments.handler(arguments)
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
    return status or 0


def console_main() -> NoReturn:
    sys.exit(main())
