"""Where subjects run: local worker processes, or the workers of a Dask cluster.

Both run tasks (a function and its arguments, keyed by subject) and hand back each result as it
arrives. A worker that dies takes its task with it: the subject is reported failed, and the next
run picks it up.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any

Task = tuple[str, Callable[..., dict[str, Any]], tuple[Any, ...]]

DASK_PACKAGE = "python3-distributed"


def _start_worker() -> None:
    # Ctrl-C is the caller's to handle: it stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import corvaxis

    corvaxis.set_computing_threads(1)


class LocalEngine:
    """Worker processes on this machine, each computing on one thread."""

    def __init__(self, workers: int | None) -> None:
        if workers is None:
            workers = os.process_cpu_count() or 1
        if type(workers) is not int or workers < 1:
            raise ValueError(f"workers must be a positive number of processes, got {workers!r}")
        self.workers = workers
        self.name = "local processes"

    def run(self, tasks: Sequence[Task]) -> Iterator[tuple[str, dict[str, Any]]]:
        if not tasks:
            return
        # forkserver: workers start from a clean process, never from a fork of this one's threads.
        pool = ProcessPoolExecutor(max_workers=min(self.workers, len(tasks)),
                                   mp_context=multiprocessing.get_context("forkserver"),
                                   initializer=_start_worker)
        pending: dict[Future, str] = {}
        try:
            for key, function, arguments in tasks:
                pending[pool.submit(function, *arguments)] = key
            while pending:
                done, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    key = pending.pop(future)
                    try:
                        result = future.result()
                    except BrokenProcessPool:
                        result = {"failed": "the worker process ended unexpectedly", "times": {}}
                    yield key, result
        except BaseException:
            pool.terminate_workers()
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def dask_client(address: str):
    """A Dask client connected to the scheduler at address (tcp://HOST:PORT)."""
    try:
        import distributed
    except ImportError:
        raise RuntimeError(f"running on a Dask scheduler needs Dask's distributed package: install the Debian "
                           f"package {DASK_PACKAGE}") from None
    try:
        return distributed.Client(address, timeout="20s")
    except (OSError, TimeoutError) as error:
        raise RuntimeError(f"cannot reach the Dask scheduler at {address}: {error}") from None


class DaskEngine:
    """The workers of a Dask cluster; they read and write the output folder themselves."""

    def __init__(self, client) -> None:
        self.client = client
        self.workers = sum(client.nthreads().values()) or 1
        self.name = "dask"

    def run(self, tasks: Sequence[Task]) -> Iterator[tuple[str, dict[str, Any]]]:
        import distributed

        if not tasks:
            return
        futures = {}
        try:
            for key, function, arguments in tasks:
                # pure=False: a rerun must run again, never reuse a result the cluster remembers.
                futures[self.client.submit(function, *arguments, pure=False)] = key
            for future in distributed.as_completed(list(futures)):
                key = futures[future]
                try:
                    result = future.result()
                except Exception as error:  # noqa: BLE001 -- a lost worker or task, reported per subject
                    result = {"failed": f"the Dask task failed: {' '.join(str(error).split()) or type(error).__name__}",
                              "times": {}}
                yield key, result
        except BaseException:
            self.client.cancel(list(futures))
            raise
