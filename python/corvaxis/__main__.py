"""``python -m corvaxis``: the command line (see corvaxis.cli)."""

from corvaxis.cli import console_main

console_main()
