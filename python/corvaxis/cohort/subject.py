"""The work on one subject, run in worker processes: its label map to a collection, and the
template registered onto that collection. Only small results go back to the caller; the
collections go to files under the output folder."""

from __future__ import annotations

import ctypes
import os
import resource
import threading
import time
from typing import Any

import numpy as np

from corvaxis.cohort.measure import keypoint_rms, surface_area, surface_distances, world_vertices

COLLECTIONS = "collections"
CORRESPONDED = "corresponded"
TEMPLATE = "template.cvx"

# Data files are read through a trial read in a forked child; a fork taken while another thread
# of this process sits in the host can hang the child. A worker process that runs tasks on
# several threads (a Dask worker started with more than one) therefore takes one subject at a time.
_ONE_SUBJECT_AT_A_TIME = threading.Lock()

# glibc's mallopt parameters.
_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3


class SubjectFailure(Exception):
    """A subject cannot be done: its reason goes to the report, the other subjects go on."""


def subject_name(path: str | os.PathLike[str]) -> str:
    """The subject's name: the file name without its suffixes ('s01.nii.gz' -> 's01')."""
    return os.path.basename(os.fspath(path)).split(".")[0]


def collection_path(out_dir: str, subject: str) -> str:
    return os.path.join(out_dir, COLLECTIONS, subject + ".cvx")


def corresponded_path(out_dir: str, subject: str) -> str:
    return os.path.join(out_dir, CORRESPONDED, subject + ".cvx")


def _label_names(image, path: str) -> dict[int, str]:
    """The names a label map carries itself: its label names, or those of a label component."""
    import corvaxis

    names = getattr(image, "label_names", None)
    if names:
        return {int(label): str(name) for label, name in dict(names).items()}
    for component in image.components:
        if isinstance(component, corvaxis.LabelDataComponent):
            found = {label: component.label_config(label)[0] for label in component.labels}
            if found:
                return found
    raise SubjectFailure(f"{path}: the file names no labels; give them with labels (--labels 1=liver,...)")


def label_map_collection(path: str, labels: dict[int, str] | None):
    """The collection of a label map file: one structure per named label, each label present."""
    import corvaxis
    import corvaxis.anatomy as anatomy

    if not os.path.exists(path):
        raise SubjectFailure(f"{path}: no such file")
    try:
        image = corvaxis.open(path, corvaxis.Modality.LABEL)
    except (OSError, TypeError, ValueError) as error:
        raise SubjectFailure(" ".join(str(error).split())) from None
    if not isinstance(image, corvaxis.SharedImageSet):
        raise SubjectFailure(f"{path}: holds a {type(image).__name__}, not a label image")
    names = dict(labels) if labels else _label_names(image, path)
    try:
        collection = anatomy.generic_asc_from_label_map(image, names)
    except ValueError as error:
        raise SubjectFailure(f"{path}: {error}") from None
    found = set(collection.anatomical_structure_identifiers()) if collection is not None else set()
    missing = [f"{label} ({name})" for label, name in sorted(names.items()) if name not in found]
    if missing:
        raise SubjectFailure(f"{path}: label {', '.join(missing)} missing from the label map")
    return collection


def structure_figures(collection) -> list[dict[str, Any]]:
    """One row per structure, by identifier: label, voxels, volume, surface area, centroid."""
    rows = []
    for identifier in sorted(collection.anatomical_structure_identifiers()):
        structure = collection.anatomical_structure(identifier)
        row: dict[str, Any] = {"structure": identifier}
        if "surface" in structure.meshes:
            attributes = structure.meshes.attributes["surface"]
            mesh = structure.meshes["surface"]
            label = attributes.get("label")
            row["label"] = int(label) if isinstance(label, (int, float, np.integer)) else label
            row["voxel_count"] = int(attributes.get("voxel_count", 0))
            row["volume_mm3"] = float(attributes.get("volume", float("nan")))
            row["surface_area_mm2"] = surface_area(world_vertices(mesh), mesh.faces)
        if "centroid" in structure.keypoints2:
            row["centroid"] = [float(value) for value in structure.keypoints2["centroid"]]
        rows.append(row)
    return rows


def _registration_figures(template, fixed, moved) -> dict[str, dict[str, float]]:
    """Per structure of the subject: keypoint residuals before and after, and the mean distance
    of the moved template's surface vertices to the subject's surface."""
    figures = {}
    template_ids = set(template.anatomical_structure_identifiers())
    for identifier in fixed.anatomical_structure_identifiers():
        if identifier not in template_ids:
            continue
        target, before, after = (c.anatomical_structure(identifier) for c in (fixed, template, moved))
        distances = [surface_distances(world_vertices(after.meshes[key]), world_vertices(target.meshes[key]),
                                       target.meshes[key].faces)
                     for key in sorted(set(after.meshes.keys()) & set(target.meshes.keys()))]
        figures[identifier] = {
            "rms_before_mm": keypoint_rms(before, target),
            "rms_after_mm": keypoint_rms(after, target),
            "mean_surface_distance_mm": float(np.concatenate(distances).mean()) if distances else float("nan"),
        }
    return figures


def prepare_worker() -> None:
    """Readies this worker process for subjects: one computing thread, freed memory reused.

    One thread for the host's algorithms and, where threadpoolctl is installed, NumPy's BLAS,
    which otherwise starts a thread per core in every worker, so that N workers would compete for
    N cores with N x cores threads.

    glibc's malloc returns every freed block of 128 kB or more to the system at once until its
    adaptive thresholds have grown, and never grows them in a process started with
    MALLOC_TRIM_THRESHOLD_ set, as Dask starts its workers; each block is then fresh pages with a
    fault apiece, and a registration takes two to three times as long. The thresholds are raised
    to where the adaptive ones end (32 MB mapped directly, 64 MB kept free), so that a worker keeps
    up to 64 MB of freed memory for its next subject.
    """
    import corvaxis

    corvaxis.set_computing_threads(1)
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not glibc
        pass
    else:
        mallopt(_M_MMAP_THRESHOLD, 32 << 20)
        mallopt(_M_TRIM_THRESHOLD, 64 << 20)
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
    except ImportError:
        return
    threadpool_limits(1)


def _run_task(work, *arguments) -> dict[str, Any]:
    """Runs one subject's step on this process's one computing thread; a failure becomes a result."""
    with _ONE_SUBJECT_AT_A_TIME:
        prepare_worker()
        times: dict[str, float] = {}
        try:
            result = work(times, *arguments)
        except SubjectFailure as failure:
            result = {"failed": str(failure)}
        except (OSError, RuntimeError, ValueError, KeyError, TypeError) as error:
            result = {"failed": " ".join(str(error).split()) or type(error).__name__}
        result["times"] = times
        # The worker's peak so far, for the report: what one worker needs.
        result["peak_memory_kib"] = peak_memory_kib()
        return result


def peak_memory_kib() -> int:
    """This process's own peak resident size in KiB.

    Not ru_maxrss where /proc tells: a process started by fork and exec (a Dask worker, started by
    its nanny in the client's process) keeps in ru_maxrss the peak of the process it was forked
    from, the client's with its model and pictures.
    """
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class _Clock:
    def __init__(self, times: dict[str, float], step: str) -> None:
        self.times, self.step = times, step

    def __enter__(self):
        self.start = time.perf_counter()

    def __exit__(self, *exception):
        self.times[self.step] = self.times.get(self.step, 0.0) + time.perf_counter() - self.start


def _build(times, path: str, out_dir: str, subject: str, labels: dict[int, str] | None):
    import corvaxis

    with _Clock(times, "label map"):
        collection = label_map_collection(path, labels)
    with _Clock(times, "measure"):
        rows = structure_figures(collection)
    with _Clock(times, "save"):
        corvaxis.save(collection, collection_path(out_dir, subject))
    return {"rows": rows}


# The template this worker read last: its path, the file's inode, modification time and size, and
# the collection. A worker registers it onto many subjects and reads it once; only ever cloned or read.
_last_template: tuple[str, tuple[int, int, int], Any] | None = None


def _template(path: str):
    import corvaxis

    global _last_template
    status = os.stat(path)
    stamp = (status.st_ino, status.st_mtime_ns, status.st_size)
    if _last_template is None or _last_template[:2] != (path, stamp):
        _last_template = (path, stamp, corvaxis.open(path))
    return _last_template[2]


def _register(times, out_dir: str, subject: str, method_name: str):
    import corvaxis
    import corvaxis.anatomy as anatomy

    with _Clock(times, "read"):
        fixed = corvaxis.open(collection_path(out_dir, subject))
        template = _template(os.path.join(out_dir, TEMPLATE))
        if not isinstance(fixed, anatomy.GenericASC) or not isinstance(template, anatomy.GenericASC):
            raise SubjectFailure(f"{subject}: the subject's collection or the template holds no collection")
        moving = template.clone()
    with _Clock(times, "registration"):
        registration = anatomy.ASCRegistration(fixed, moving)
        registration.registration_method = anatomy.ASCRegistration.RegistrationMethod.__members__[method_name]
        registration.compute()
        if registration.status != 0:
            raise SubjectFailure(f"registration failed: {registration.status_message or registration.status}")
    with _Clock(times, "surface distance"):
        figures = _registration_figures(template, fixed, moving)
    with _Clock(times, "save"):
        corvaxis.save(moving, corresponded_path(out_dir, subject))
    return {"figures": figures}


def build_collection(path: str, out_dir: str, subject: str, labels: dict[int, str] | None) -> dict[str, Any]:
    """Worker task: the subject's label map to collections/<subject>.cvx and its figures."""
    return _run_task(_build, path, out_dir, subject, labels)


def register_template(out_dir: str, subject: str, method_name: str) -> dict[str, Any]:
    """Worker task: template.cvx registered onto the subject's collection, saved as
    corresponded/<subject>.cvx, with its residuals and surface distances."""
    return _run_task(_register, out_dir, subject, method_name)
