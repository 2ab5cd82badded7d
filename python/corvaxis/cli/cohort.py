"""corvaxis cohort: the whole job over many subjects' label maps, on every core or a Dask cluster."""

from __future__ import annotations

import os
import sys
from typing import Any

from corvaxis.cli.common import CommandError, parse_labels, registration_method

NAME = "cohort"
HELP = ("Build every subject's collection from its label map, register a template onto each, build a shape "
        "model and measure every structure, on local processes or a Dask cluster.")


def add_arguments(parser):
    parser.add_argument("segmentations", metavar="SEGMENTATION", nargs="+",
                        help="label maps, one per subject; the subject's name is the file name without its suffixes")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="folder for everything the run writes")
    parser.add_argument("--labels", metavar="LIST",
                        help="label values and structure names, like 1=liver,2=kidney (default: the names in the files)")
    parser.add_argument("--template", metavar="PATH",
                        help="template collection (.cvx) or segmentation (default: the subject of median volumes)")
    parser.add_argument("--method", default="DeformableMeshRegistration",
                        help="registration of the template onto each subject (default DeformableMeshRegistration, "
                             "which gives vertex correspondence)")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=int, metavar="N", help="local worker processes (default: the machine's cores)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="run the subjects on a Dask scheduler's workers, like tcp://HOST:PORT; they must see the "
                             "inputs and OUTDIR at the same paths")


class SubjectProgress:
    """A bar over subjects on a terminal, plain lines otherwise; failures always as their own line."""

    def __init__(self, quiet: bool, stream=None) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.quiet = quiet
        self.bar: Any = None
        self.stage: str | None = None
        self.interactive = self.stream.isatty()

    def __call__(self, stage: str, finished: int, total: int, subject: str, outcome: str) -> None:
        if outcome.startswith("failed"):
            self.write(f"corvaxis cohort: {subject}: {outcome}")
        if self.quiet:
            return
        if not self.interactive:
            # Subjects skipped as up to date count, but only work done gets a line.
            if outcome == "done":
                self.write(f"corvaxis cohort: {stage} {finished}/{total}: {subject} done")
            return
        if stage != self.stage:
            self.close()
            self.stage = stage
            self.bar = self.make_bar(stage, total)
        self.bar.update(finished / total, f"{finished}/{total} {subject}")

    def make_bar(self, stage: str, total: int):
        from corvaxis.cli.common import progress_bar

        return progress_bar(f"{stage} ({total} subjects)", self.stream)

    def write(self, line: str) -> None:
        if self.bar is not None and hasattr(self.bar, "bar"):
            self.bar.bar.write(line, file=self.stream)
        else:
            if self.bar is not None:
                self.close()
            print(line, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
            self.stage = None


def run(arguments):
    from corvaxis import cohort

    labels = parse_labels(arguments.labels) if arguments.labels else None
    method = registration_method(arguments.method)
    if arguments.workers is not None and arguments.workers < 1:
        raise CommandError(f"--workers must be at least 1, got {arguments.workers}")
    client = cohort.dask_client(arguments.scheduler) if arguments.scheduler else None
    progress = SubjectProgress(arguments.quiet)
    try:
        report = cohort.run(arguments.segmentations, arguments.output, labels=labels, template=arguments.template,
                            method=method, workers=arguments.workers, client=client, progress=progress)
    finally:
        progress.close()
        if client is not None:
            client.close()
    model = report["model"]
    if "failed" in model:
        print(f"corvaxis cohort: shape model: {model['failed']}", file=sys.stderr)
    if "pictures_failed" in model:
        print(f"corvaxis cohort: pictures: {model['pictures_failed']}", file=sys.stderr)
    if not arguments.quiet:
        print(f"{len(report['done'])} of {report['subjects']} subjects done ({len(report['up_to_date'])} up to date), "
              f"{len(report['failed'])} failed; shape model: "
              + (f"{model.get('modes')} modes over {model.get('subjects')} subjects" if model.get("built") else "none")
              + f"; see {os.path.join(arguments.output, 'report.json')}")
    return report["exit_status"]
