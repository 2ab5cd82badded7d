"""Fixtures shared by the host and anatomy tests: hostile inputs and forged or constrained files."""

import gc
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import zlib

import h5py
import numpy as np
import pytest

from corvaxis._core import _live_instances


class ArrayThatRuns:
    """An array-like whose conversion runs a callback first, as a hostile caller's would."""

    def __init__(self, values, callback):
        self.values = np.asarray(values)
        self.callback = callback

    def __array__(self, dtype=None, copy=None):
        self.callback()
        return self.values if dtype is None else self.values.astype(dtype)


@pytest.fixture
def array_that_runs():
    """array_that_runs(values, callback): converting it calls callback() and then gives values."""
    return ArrayThatRuns


@pytest.fixture
def reseal():
    """reseal(path, change): change(h5py.File) on a saved data file, then renews its header checksum."""

    def change_and_reseal(path, change):
        with h5py.File(path, "r+") as stored:
            change(stored)
        data = bytearray(path.read_bytes())
        struct.pack_into("<QI", data, 12, len(data) - 512, zlib.crc32(data[512:]))
        path.write_bytes(bytes(data))

    return change_and_reseal


@pytest.fixture
def run_on_full_disk(tmp_path):
    """run_on_full_disk(code): runs Python code in a private mount namespace where `disk` names a
    directory on a 64 KiB tmpfs; returns the completed process. Skips where that is not permitted."""
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("a private mount namespace needs unshare(1) and root")
    disk = tmp_path / "disk"
    disk.mkdir()
    # The propagation of the mounts is left as it is (some roots refuse to change it), so the
    # tmpfs is mounted only where the mount below it propagates nothing.
    mount = f"findmnt -no PROPAGATION --target {disk} | grep -qx private && mount -t tmpfs -o size=64k tmpfs {disk}"
    command = [unshare, "-m", "--propagation", "unchanged", "sh", "-c"]
    probe = subprocess.run([*command, mount], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs in a private mount namespace: {probe.stderr.decode(errors='replace')}")

    def run(code):
        script = f"import os, sys\ndisk = {str(disk)!r}\n" + textwrap.dedent(code)
        return subprocess.run([*command, f'{mount} && exec "$0" -c "$1"', sys.executable, script],
                              capture_output=True, text=True, timeout=120)

    return run


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    if report.when == "call":
        item.passed_its_call = report.passed
    return report


def leaked_instances(before, after):
    """{kind: how many more are alive} for every kind whose count grew."""
    return {kind: count - before.get(kind, 0) for kind, count in after.items() if count > before.get(kind, 0)}


@pytest.fixture(autouse=True)
def nothing_left_alive(request):
    """Fails a passing test that leaves host objects alive once Python's garbage is collected.
    A test that failed keeps its objects in its traceback, so only passing tests are judged."""
    gc.collect()
    before = _live_instances()
    yield
    if not getattr(request.node, "passed_its_call", False):
        return
    # The test's other fixtures are torn down by now; pytest would let go of their values only
    # after this teardown.
    request.node.funcargs.clear()
    gc.collect()
    leaked = leaked_instances(before, _live_instances())
    if leaked:
        pytest.fail("left alive after the test: " + ", ".join(f"{count} {kind}" for kind, count in leaked.items()))
