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
    from corvaxis.cohort.subject import prepare_worker

    prepare_worker()


class LocalEngine:
    """Worker processes on this machine, each computing on one thread.

    Used as a context manager, the engine keeps its workers from the first stage to the last, so
    that every stage after the first finds them started, with the package imported.
    """

    def __init__(self, workers: int | None) -> None:
        if workers is None:
            workers = os.process_cpu_count() or 1
        if type(workers) is not int or workers < 1:
            raise ValueError(f"workers must be a positive number of processes, got {workers!r}")
        self.workers = workers
        self.name = "local processes"
        self._pool: ProcessPoolExecutor | None = None

    def __enter__(self) -> LocalEngine:
        return self

    def __exit__(self, *exception: object) -> None:
        self._close(interrupted=exception[0] is not None)

    def _close(self, interrupted: bool) -> None:
        pool, self._pool = self._pool, None
        if pool is not None:
            if interrupted:
                pool.terminate_workers()
            pool.shutdown(wait=True, cancel_futures=True)

    def _started_pool(self) -> ProcessPoolExecutor:
        # Processes start as tasks come, up to the number of workers.
        if self._pool is None:
            # forkserver: workers start from a clean process, never from a fork of this one's threads.
            self._pool = ProcessPoolExecutor(max_workers=self.workers,
                                             mp_context=multiprocessing.get_context("forkserver"),
                                             initializer=_start_worker)
        return self._pool

    def run(self, tasks: Sequence[Task]) -> Iterator[tuple[str, dict[str, Any]]]:
        if not tasks:
            return
        pool = self._started_pool()
        pending: dict[Future, str] = {}
        lost_worker = False
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
                        lost_worker = True
                        result = {"failed": "the worker process ended unexpectedly", "times": {}}
                    yield key, result
        except BaseException:
            self._close(interrupted=True)
            raise
        finally:
            for future in pending:
                future.cancel()
            if lost_worker:
                # A lost worker breaks the pool for good: the next stage starts a new one.
                self._close(interrupted=False)


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

    def __enter__(self) -> DaskEngine:
        return self

    def __exit__(self, *exception: object) -> None:
        # The cluster is the caller's: it stays as it was.
        pass

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
