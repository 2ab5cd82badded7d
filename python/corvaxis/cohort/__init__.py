"""Cohorts: the whole job over a folder of label maps, one per subject, on every core of the
machine or on the workers of a Dask cluster.

``run(paths, out_dir)`` builds each subject's collection from its label map, registers a template
onto every subject (vertex correspondence with ``DeformableMeshRegistration`` by default), builds
a linear shape model over the corresponded collections, draws its first modes and measures every
structure. Under ``out_dir``::

    collections/<subject>.cvx    the subject's structures, from its label map
    corresponded/<subject>.cvx   the template registered onto the subject
    template.cvx                 the template: given, or the subject of median volumes
    shape_model.cvx              the linear shape model (corvaxis.shape_model.LinearShapeModel reads it)
    shape_mode_<k>.png           the first modes at -2, 0 and +2 standard deviations
    statistics.csv               one row per subject and structure
    report.json                  subjects done and failed (with the reason), the time of each step
    .cohort/                     what a rerun needs to skip finished work

One subject's failure is reported and the others go on; a rerun skips subjects whose outputs are
newer than their inputs and the template, and rebuilds the model when the set of subjects
changed. Every file is written atomically. See docs/cohorts.md.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from corvaxis.cohort.engines import DaskEngine, LocalEngine, dask_client
from corvaxis.cohort.model import SHAPE_MODEL, build_shape_model, draw_modes, median_subject
from corvaxis.cohort.outputs import (COLUMNS, REPORT, STATE, STATISTICS, newer_than_all, read_json, record_path,
                                     write_atomically, write_json, write_statistics)
from corvaxis.cohort.subject import (COLLECTIONS, CORRESPONDED, TEMPLATE, SubjectFailure, build_collection,
                                     collection_path, corresponded_path, label_map_collection, register_template,
                                     subject_name)

__all__ = ["COLUMNS", "EXIT_ALL_DONE", "EXIT_NOTHING_DONE", "EXIT_SOME_FAILED", "dask_client", "run", "subject_name"]

EXIT_ALL_DONE = 0
EXIT_NOTHING_DONE = 1
EXIT_SOME_FAILED = 3

DEFAULT_METHOD = "DeformableMeshRegistration"

# progress(stage, finished, total, subject, outcome): stage "collections" or "registration";
# outcome "done", "up to date" or "failed: <reason>".
Progress = Callable[[str, int, int, str, str], None]


def _subjects(paths: Iterable[str | os.PathLike[str]]) -> dict[str, str]:
    """{subject: absolute input path}, refusing nameless subjects and two inputs of one name."""
    subjects: dict[str, str] = {}
    for path in paths:
        path = os.path.abspath(os.fspath(path))
        name = subject_name(path)
        if not name:
            raise ValueError(f"{path}: cannot name a subject after a file name that starts with '.'")
        if name in subjects:
            raise ValueError(f"two inputs for subject '{name}': {subjects[name]} and {path}")
        subjects[name] = path
    if not subjects:
        raise ValueError("no segmentation given")
    return subjects


def _method_name(method: Any) -> str:
    import corvaxis.anatomy as anatomy

    members = anatomy.ASCRegistration.RegistrationMethod.__members__
    name = method.name if isinstance(method, anatomy.ASCRegistration.RegistrationMethod) else str(method)
    if name not in members:
        raise ValueError(f"unknown registration method '{method}': expected one of {', '.join(members)}")
    return name


def _labels_key(labels: dict[int, str] | None) -> dict[str, str] | None:
    return None if labels is None else {str(label): name for label, name in sorted(labels.items())}


class _Run:
    """The state of one run: records of every subject, failures, times."""

    def __init__(self, subjects: dict[str, str], out_dir: str, labels: dict[int, str] | None, method: str,
                 progress: Progress | None) -> None:
        self.subjects, self.out_dir, self.labels, self.method = subjects, out_dir, labels, method
        self.progress = progress
        self.records: dict[str, dict[str, Any]] = {}
        self.failed: dict[str, dict[str, str]] = {}
        self.times: dict[str, dict[str, float]] = {}
        self.up_to_date: set[str] = set()
        self.steps: dict[str, float] = {}
        self.peak_memory_kib = 0
        for name in subjects:
            self.records[name] = read_json(record_path(out_dir, name)) or {}

    # --- bookkeeping ---

    def fail(self, subject: str, step: str, reason: str) -> None:
        self.failed[subject] = {"subject": subject, "input": self.subjects[subject], "step": step, "reason": reason}
        self.records[subject] = {}
        for path in (collection_path(self.out_dir, subject), corresponded_path(self.out_dir, subject),
                     record_path(self.out_dir, subject)):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    def save_record(self, subject: str) -> None:
        write_json(record_path(self.out_dir, subject), self.records[subject])

    def add_times(self, subject: str, stage: str, times: dict[str, float]) -> None:
        own = self.times.setdefault(subject, {})
        for step, seconds in times.items():
            key = f"{stage}: {step}"
            own[key] = own.get(key, 0.0) + seconds
            self.steps[key] = self.steps.get(key, 0.0) + seconds

    def timed(self, step: str, work: Callable[[], Any]) -> Any:
        start = time.perf_counter()
        try:
            return work()
        finally:
            self.steps[step] = self.steps.get(step, 0.0) + time.perf_counter() - start

    def report_progress(self, stage: str, finished: int, total: int, subject: str, outcome: str) -> None:
        if self.progress is not None:
            self.progress(stage, finished, total, subject, outcome)

    # --- the stages ---

    def collection_is_current(self, subject: str) -> bool:
        record = self.records[subject]
        return (record.get("input") == self.subjects[subject] and record.get("labels") == _labels_key(self.labels)
                and "collection" in record
                and newer_than_all(collection_path(self.out_dir, subject), [self.subjects[subject]]))

    def registration_is_current(self, subject: str, template_path: str) -> bool:
        record = self.records[subject]
        return (record.get("registration", {}).get("method") == self.method
                and newer_than_all(corresponded_path(self.out_dir, subject),
                                   [self.subjects[subject], template_path, collection_path(self.out_dir, subject)]))

    def run_stage(self, engine, stage: str, subjects: Sequence[str], is_current: Callable[[str], bool],
                  task: Callable[[str], tuple[Callable[..., dict[str, Any]], tuple[Any, ...]]],
                  store: Callable[[str, dict[str, Any]], None]) -> list[str]:
        """Runs task for every subject not current; returns the subjects that succeeded, sorted."""
        started = time.perf_counter()
        succeeded, pending = [], []
        total = len(subjects)
        for subject in subjects:
            if is_current(subject):
                succeeded.append(subject)
                self.up_to_date.add(subject)
                self.report_progress(stage, len(succeeded), total, subject, "up to date")
            else:
                self.up_to_date.discard(subject)
                pending.append(subject)
        finished = len(succeeded)
        tasks = [(subject, *task(subject)) for subject in pending]
        with contextlib.closing(engine.run(tasks)) as results:
            for subject, result in results:
                finished += 1
                self.add_times(subject, stage, result.get("times", {}))
                self.peak_memory_kib = max(self.peak_memory_kib, result.get("peak_memory_kib", 0))
                if "failed" in result:
                    self.fail(subject, stage, result["failed"])
                    self.report_progress(stage, finished, total, subject, f"failed: {result['failed']}")
                    continue
                store(subject, result)
                self.save_record(subject)
                succeeded.append(subject)
                self.report_progress(stage, finished, total, subject, "done")
        # The stage's wall time, beside the per-subject steps: what the workers' parallelism gave.
        self.steps[f"{stage} stage"] = time.perf_counter() - started
        return sorted(succeeded)


def _prepare_given_template(source: str, out_dir: str, labels: dict[int, str] | None) -> str:
    """template.cvx from a collection file or a segmentation; rewritten only when its source or
    the labels changed. A template that cannot be read stops the run before any work."""
    import corvaxis
    import corvaxis.anatomy as anatomy

    source = os.path.abspath(source)
    target = os.path.join(out_dir, TEMPLATE)
    state = os.path.join(out_dir, STATE, "template.json")
    wanted = {"source": source, "labels": _labels_key(labels)}
    if read_json(state) == wanted and newer_than_all(target, [source]):
        return target
    if not os.path.isfile(source):
        raise ValueError(f"{source}: no such template file")
    try:
        data = corvaxis.open(source)
    except OSError as error:
        raise ValueError(" ".join(str(error).split())) from None
    if isinstance(data, anatomy.AnatomicalStructureCollection):
        collection = data
    elif isinstance(data, corvaxis.SharedImageSet):
        try:
            collection = label_map_collection(source, labels)
        except SubjectFailure as failure:
            raise ValueError(f"template: {failure}") from None
    else:
        raise ValueError(f"{source}: holds {type(data).__name__}, expected a collection or a segmentation")
    corvaxis.save(collection, target)
    write_json(state, wanted)
    return target


def _prepare_median_template(state_run: _Run, subjects: Sequence[str]) -> tuple[str, str]:
    """template.cvx as a copy of the collection of the subject of median volumes; (path, subject)."""
    volumes = {subject: {row["structure"]: row["volume_mm3"] for row in state_run.records[subject]["collection"]["rows"]
                         if row.get("volume_mm3") is not None}
               for subject in subjects}
    chosen = median_subject(volumes)
    out_dir = state_run.out_dir
    target = os.path.join(out_dir, TEMPLATE)
    state = os.path.join(out_dir, STATE, "template.json")
    source = collection_path(out_dir, chosen)
    wanted = {"subject": chosen}
    if read_json(state) != wanted or not newer_than_all(target, [source]):
        def copy(path: str) -> None:
            shutil.copyfile(source, path)

        write_atomically(target, copy, suffix=".cvx")
        write_json(state, wanted)
    return target, chosen


def run(paths: Iterable[str | os.PathLike[str]], out_dir: str | os.PathLike[str], *,
        labels: dict[int, str] | None = None, template: str | os.PathLike[str] | None = None,
        method: Any = DEFAULT_METHOD, workers: int | None = None, client: Any = None,
        progress: Progress | None = None) -> dict[str, Any]:
    """Run the whole job over the label maps at paths, writing under out_dir; return the report.

    ``labels`` maps label values to structure names ({1: "liver", 2: "kidney"}); without it the
    names come from each file. ``template`` is a collection file or a segmentation; without it the
    subject whose structure volumes lie closest to the cohort's medians is the template (ties by
    name). ``method`` is a registration method (name or ``ASCRegistration.RegistrationMethod``).
    ``workers`` local processes (default: the machine's cores) run the subjects, each computing
    on one thread; or ``client``, a ``dask.distributed.Client``, runs them on its cluster, whose
    workers must see out_dir and the inputs at the same paths. ``progress(stage, finished, total,
    subject, outcome)`` is called as each subject finishes a stage.

    The report (also written to report.json) holds ``exit_status``: 0 when every subject and the
    model succeeded, 3 when some failed, 1 when nothing could be done. Inputs of one name, an
    unknown method or an unreadable template raise ``ValueError`` before any work.
    """
    started = time.perf_counter()
    subjects = _subjects(paths)
    method_name = _method_name(method)
    if client is not None and workers is not None:
        raise ValueError("give either workers (local processes) or client (a Dask cluster), not both")
    engine = DaskEngine(client) if client is not None else LocalEngine(workers)
    out_dir = os.path.abspath(os.fspath(out_dir))
    for folder in ("", COLLECTIONS, CORRESPONDED, STATE):
        os.makedirs(os.path.join(out_dir, folder), exist_ok=True)
    labels = None if labels is None else {int(label): str(name) for label, name in labels.items()}
    state = _Run(subjects, out_dir, labels, method_name, progress)
    template_path: str | None = None
    template_subject: str | None = None
    if template is not None:
        template_path = state.timed("template", lambda: _prepare_given_template(os.fspath(template), out_dir, labels))

    def store_collection(subject: str, result: dict[str, Any]) -> None:
        state.records[subject] = {"input": subjects[subject], "labels": _labels_key(labels),
                                  "collection": {"rows": result["rows"]}}

    done: list[str] = []
    model_outcome: dict[str, Any] = {"built": False}
    with engine:
        built = state.run_stage(engine, "collections", sorted(subjects), state.collection_is_current,
                                lambda subject: (build_collection, (subjects[subject], out_dir, subject, labels)),
                                store_collection)
        if built and template_path is None:
            template_path, template_subject = state.timed("template", lambda: _prepare_median_template(state, built))
        if built:
            assert template_path is not None

            def store_registration(subject: str, result: dict[str, Any]) -> None:
                state.records[subject]["registration"] = {"method": method_name, "figures": result["figures"]}

            current_template: str = template_path
            done = state.run_stage(
                engine, "registration", built,
                lambda subject: subject in state.up_to_date and state.registration_is_current(subject, current_template),
                lambda subject: (register_template, (out_dir, subject, method_name)), store_registration)
            model_outcome = _model(state, current_template, done)
            done = [subject for subject in done if subject not in state.failed]
    write_statistics(os.path.join(out_dir, STATISTICS), {subject: state.records[subject] for subject in done})

    problems = bool(state.failed) or "failed" in model_outcome or "pictures_failed" in model_outcome
    exit_status = EXIT_NOTHING_DONE if not done else EXIT_SOME_FAILED if problems else EXIT_ALL_DONE
    report = {
        "exit_status": exit_status,
        "subjects": len(subjects),
        "done": done,
        "failed": [state.failed[subject] for subject in sorted(state.failed)],
        "up_to_date": sorted(subject for subject in state.up_to_date if subject in done),
        "template": {"path": template_path, "subject": template_subject,
                     "source": None if template is None else os.path.abspath(os.fspath(template))},
        "method": method_name,
        "engine": engine.name,
        "workers": engine.workers,
        "worker_peak_memory_mib": round(state.peak_memory_kib / 1024, 1),
        "model": model_outcome,
        "times": {"wall_s": time.perf_counter() - started, "steps_s": state.steps,
                  "subjects_s": {subject: state.times[subject] for subject in sorted(state.times)}},
    }
    write_json(os.path.join(out_dir, REPORT), report)
    return report


def _model(state: _Run, template_path: str, done: list[str]) -> dict[str, Any]:
    """The shape model and its pictures, rebuilt only when the subjects, the template or a
    corresponded collection changed. Subjects the model could not use are failed."""
    out_dir = state.out_dir
    model_path = os.path.join(out_dir, SHAPE_MODEL)
    record_file = os.path.join(out_dir, STATE, "model.json")
    record = read_json(record_file) or {}
    if (record.get("subjects") == done and record.get("method") == state.method
            and newer_than_all(model_path, [template_path] + [corresponded_path(out_dir, s) for s in done])
            and all(os.path.exists(os.path.join(out_dir, name)) for name in record.get("pictures", []))):
        return {**record.get("outcome", {}), "built": True, "up_to_date": True}
    with contextlib.suppress(FileNotFoundError):
        os.unlink(record_file)
    try:
        collection, figures = state.timed("shape model", lambda: build_shape_model(out_dir, template_path, done))
    except RuntimeError as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(model_path)
        return {"built": False, "failed": str(error)}
    for skipped in figures.get("skipped", []):
        subject = os.path.basename(skipped["file"]).removesuffix(".cvx")
        if subject in state.subjects:
            state.fail(subject, "shape model", f"left out of the shape model: {skipped['reason']}")
    used = [subject for subject in done if subject not in state.failed]
    outcome = {"built": True, "subjects": figures.get("shapes_used"), "points": figures.get("num_points"),
               "modes": figures.get("num_modes"),
               "explained_variance": [mode["explained_variance"] for mode in figures.get("mode", [])]}
    try:
        pictures = state.timed("pictures", lambda: draw_modes(out_dir, collection))
    except (ImportError, RuntimeError, ValueError) as error:
        return {**outcome, "pictures_failed": " ".join(str(error).split())}
    outcome["pictures"] = pictures
    write_json(record_file, {"subjects": used, "method": state.method, "pictures": pictures, "outcome": outcome})
    return outcome
