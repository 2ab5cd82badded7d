"""Fixtures shared by the host and anatomy tests: hostile inputs, forged or constrained files, readers
of pictures, and what changes under the sanitizer build."""

import gc
import os
import pathlib
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

# trimesh's first import keeps the frames of that moment alive (in the tracebacks of its missing
# optional dependencies), and with them whatever the test importing it holds; imported here, no
# test is the first.
try:
    import trimesh  # noqa: F401
except ImportError:
    pass


def sanitizer_runtime_loaded():
    """True in the sanitizer build's test run, where the runtimes are preloaded into the interpreter."""
    with open("/proc/self/maps") as maps:
        return "/libasan.so" in maps.read()


SANITIZED = sanitizer_runtime_loaded()


def pytest_collection_modifyitems(config, items):
    """Tests marked heavy or unsanitized are skipped under the sanitizer build, with their reason in
    the summary."""
    if not SANITIZED:
        return
    for name, why in (("heavy", "too slow under the sanitizers"),
                      ("unsanitized", "the sanitizers' runtime changes what it measures")):
        for item in items:
            marker = item.get_closest_marker(name)
            if marker is not None:
                item.add_marker(pytest.mark.skip(reason=f"{why}: {marker.kwargs['reason']}"))


@pytest.fixture
def sanitized_child():
    """sanitized_child(code): runs Python code in a child process with this run's sanitizer options,
    except that its reports go to its stderr; returns the completed process. Skips outside the
    sanitizer build."""
    if not SANITIZED:
        pytest.skip("only the sanitizer build checks memory operations")
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        options = [option for option in env.get(name, "").split(":") if option and not option.startswith("log_path=")]
        env[name] = ":".join(options)

    def run(code):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              env=env, timeout=60)

    return run


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
def run_on_tmpfs(tmp_path):
    """run_on_tmpfs(code, size="64k"): runs Python code in a private mount namespace where `disk`
    names a directory on a tmpfs of that size (64 KiB: a full disk); returns the completed process.
    Skips where that is not permitted."""
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("a private mount namespace needs unshare(1) and root")
    disk = tmp_path / "disk"
    disk.mkdir()
    # The propagation of the mounts is left as it is (some roots refuse to change it), so the
    # tmpfs is mounted only where the mount below it propagates nothing.
    command = [unshare, "-m", "--propagation", "unchanged", "sh", "-c"]

    def mount(size):
        return f"findmnt -no PROPAGATION --target {disk} | grep -qx private && mount -t tmpfs -o size={size} tmpfs {disk}"

    probe = subprocess.run([*command, mount("64k")], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs in a private mount namespace: {probe.stderr.decode(errors='replace')}")

    def run(code, size="64k"):
        script = f"import os, sys\ndisk = {str(disk)!r}\n" + textwrap.dedent(code)
        return subprocess.run([*command, f'{mount(size)} && exec "$0" -c "$1"', sys.executable, script],
                              capture_output=True, text=True, timeout=120)

    return run


@pytest.fixture
def run_on_full_disk(run_on_tmpfs):
    """run_on_full_disk(code): run_on_tmpfs on a 64 KiB tmpfs."""
    return run_on_tmpfs


@pytest.fixture
def make_read_only(tmp_path):
    """make_read_only(directory): nothing can be created, replaced or removed in the directory
    afterwards, until the test ends. Root ignores permissions, so for root the directory becomes
    a read-only bind mount, where the mount below it propagates nothing; elsewhere its write
    permission is taken away."""
    undo = []

    def apply(directory):
        directory = str(directory)
        if os.geteuid() != 0:
            os.chmod(directory, 0o555)
            undo.append(lambda: os.chmod(directory, 0o755))
            return
        propagation = subprocess.run(["findmnt", "-no", "PROPAGATION", "--target", directory],
                                     capture_output=True, text=True)
        if propagation.stdout.strip() != "private":
            pytest.skip("a read-only bind mount as root needs a private mount below the directory")
        subprocess.run(["mount", "--bind", directory, directory], check=True)
        undo.append(lambda: subprocess.run(["umount", directory], check=True))
        subprocess.run(["mount", "-o", "remount,bind,ro", directory], check=True)

    yield apply
    for step in reversed(undo):
        step()


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


class Pictures:
    """Reading PNG files back and finding colours in them."""

    @staticmethod
    def read(path):
        """The picture as an (H, W, 3) float array in [0, 1]."""
        import matplotlib.image

        return matplotlib.image.imread(str(path))[:, :, :3]

    @staticmethod
    def near(image, rgb, tolerance=0.08):
        """Mask of the pixels within tolerance of a colour."""
        return np.all(np.abs(image - np.asarray(rgb)[None, None, :3]) <= tolerance, axis=2)

    @staticmethod
    def ink(image, rgb):
        """How many pixels' worth of a colour lie on white, counting partly covered pixels in part."""
        rgb = np.asarray(rgb)[:3]
        dark = rgb < 0.5  # the channels in which the colour differs from white
        coverage = ((1 - image[:, :, dark]) / (1 - rgb[dark])).mean(axis=2)
        light = ~dark
        if light.any():
            # This colour laid on white leaves the channels it keeps where the mix puts them; other
            # colours and greys (the edge letters) do not.
            mixed = 1 - coverage[:, :, None] * (1 - rgb[light])
            coverage[np.any(np.abs(image[:, :, light] - mixed) > 0.05, axis=2)] = 0
        return float(coverage.sum())

    @staticmethod
    def coloured(image, spread=0.1):
        """Mask of the pixels in a colour, leaving out white, black and the greys between."""
        return image.max(axis=2) - image.min(axis=2) > spread

    @staticmethod
    def centroid(mask):
        """(column, row) of the centre of a mask's pixels."""
        rows, columns = np.nonzero(mask)
        assert len(rows), "no pixel of the expected colour"
        return np.array([columns.mean(), rows.mean()])


@pytest.fixture
def pictures():
    pytest.importorskip("matplotlib")
    return Pictures


# NRRD files and 3D Slicer segmentations -------------------------------------------------------

UNU = shutil.which("teem-unu") or shutil.which("unu")


def nrrd_vector(values):
    return "(" + ",".join(repr(float(value)) for value in values) + ")"


def write_nrrd(path, pixels, *, space="left-posterior-superior", directions=None, origin=None, spacings=None,
               kinds=None, encoding="raw", keys=None, detached=False, header_lines=()):
    """Writes a NRRD file whose data is the array in its memory order: NRRD axis i is array axis
    ndim - 1 - i, so an (nz, ny, nx) array is the image (x, y, z), and an (nz, ny, nx, n) array
    has a first, fastest list axis as 3D Slicer writes layers. ``directions`` holds one vector or
    None ("none") per NRRD axis; ``space=None`` leaves space, directions and origin out (then
    ``spacings`` may give "spacings"). Encodings raw, gzip, ascii and hex; ``detached`` writes a
    ".nhdr" header beside the data file "<stem>.raw". Returns the path of the header."""
    import gzip as gzip_module

    pixels = np.asarray(pixels)
    sizes = list(reversed(pixels.shape))
    endian = "big" if pixels.dtype.byteorder == ">" else "little"
    type_names = {"i1": "int8", "u1": "uint8", "i2": "int16", "u2": "uint16", "i4": "int32", "u4": "uint32",
                  "i8": "int64", "u8": "uint64", "f4": "float", "f8": "double"}
    lines = ["NRRD0004", f"type: {type_names[pixels.dtype.str[1:]]}", f"dimension: {len(sizes)}",
             f"sizes: {' '.join(str(size) for size in sizes)}", f"encoding: {encoding}"]
    if pixels.dtype.itemsize > 1 and encoding != "ascii":
        lines.append(f"endian: {endian}")
    if space is not None:
        lines.append(f"space: {space}")
        directions = directions if directions is not None else [np.eye(3)[axis] for axis in range(len(sizes))]
        lines.append("space directions: " + " ".join("none" if d is None else nrrd_vector(d) for d in directions))
        if origin is not None:
            lines.append(f"space origin: {nrrd_vector(origin)}")
    if spacings is not None:
        lines.append("spacings: " + " ".join(str(float(s)) for s in spacings))
    if kinds is not None:
        lines.append("kinds: " + " ".join(kinds))
    lines.extend(header_lines)
    lines.extend(f"{key}:={value}" for key, value in (keys or {}).items())
    flat = pixels.ravel()
    if encoding == "raw":
        data = flat.tobytes()
    elif encoding == "gzip":
        data = gzip_module.compress(flat.tobytes())
    elif encoding == "ascii":
        data = (" ".join(str(value) for value in flat.tolist()) + "\n").encode()
    elif encoding == "hex":
        data = (flat.tobytes().hex() + "\n").encode()
    else:
        raise ValueError(encoding)
    path = pathlib.Path(path)
    if detached:
        data_path = path.with_suffix(".raw")
        data_path.write_bytes(data)
        lines.append(f"data file: {data_path.name}")
        path.write_bytes(("\n".join(lines) + "\n").encode())
    else:
        path.write_bytes(("\n".join(lines) + "\n\n").encode() + data)
    return path


def slicer_segmentation(path, layers, segments, *, directions=None, origin=(0.0, 0.0, 0.0)):
    """Writes a 3D Slicer segmentation: ``layers`` is an (nz, ny, nx) label array (one layer) or a
    list of them (a 4-D file, layers first and fastest); ``segments`` a list of dicts with name,
    label, layer and color (RGB), written as the keys Slicer writes."""
    if isinstance(layers, np.ndarray):
        pixels, kinds, axis_directions = layers, ["domain"] * 3, None
    else:
        pixels = np.stack(layers, axis=-1)
        kinds, axis_directions = ["list", "domain", "domain", "domain"], [None]
    spatial = directions if directions is not None else [np.eye(3)[axis] for axis in range(3)]
    axis_directions = (axis_directions or []) + list(spatial)
    keys = {}
    for number, segment in enumerate(segments):
        keys[f"Segment{number}_ID"] = f"Segment_{number + 1}"
        keys[f"Segment{number}_Name"] = segment["name"]
        keys[f"Segment{number}_LabelValue"] = segment["label"]
        keys[f"Segment{number}_Layer"] = segment.get("layer", 0)
        keys[f"Segment{number}_Color"] = " ".join(str(component) for component in segment["color"])
    return write_nrrd(path, pixels, directions=axis_directions, origin=origin, kinds=kinds, encoding="gzip",
                      keys=keys)


@pytest.fixture(name="write_nrrd")
def write_nrrd_fixture():
    return write_nrrd


@pytest.fixture(name="slicer_segmentation")
def slicer_segmentation_fixture():
    return slicer_segmentation


@pytest.fixture
def unu():
    """unu(*arguments): runs Teem's command-line tool and returns its standard output; skips without it."""
    if UNU is None:
        pytest.skip("Teem's unu is not installed")

    def run(*arguments):
        done = subprocess.run([UNU, *map(str, arguments)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
