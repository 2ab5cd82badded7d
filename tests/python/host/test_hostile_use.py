"""The host package used as a careless or hostile caller would: conversions that run Python code,
deep trees, full disks, bytes where text belongs, numbers that are not numbers, odd file targets."""

import errno
import gc
import os
import resource
import stat
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import corvaxis

VERTICES = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=float)


def mesh():
    return corvaxis.Mesh(VERTICES, np.array([[0, 1, 2]]))


# ---- Conversions that change their own container ------------------------------------------------

def test_image_list_emptied_while_converting_keeps_every_image(array_that_runs):
    images = [np.full((2, 3), i, dtype=np.uint8) for i in range(4)]
    given = [None, *images[1:]]
    given[0] = array_that_runs(images[0], given.clear)
    built = corvaxis.SharedImageSet(given)
    assert len(built) == 4
    for index, image in enumerate(images):
        np.testing.assert_array_equal(built.get(index), image)


@pytest.mark.parametrize("refill", [False, True])
def test_properties_dict_changed_while_converting_takes_the_items_given(array_that_runs, refill):
    values = {}

    def change():
        values.clear()
        if refill:
            values.update(intruder=1)

    values.update(first=array_that_runs([1.0, 2.0, 3.0], change), second=2, block=[{"x": 1}])
    built = corvaxis.Properties(values)
    assert built.keys() == ["first", "second"] and built["second"] == 2
    assert [block["x"] for block in built.sub_properties("block")] == [1]


def test_properties_dict_cleared_before_a_refused_value_raises_cleanly(array_that_runs):
    values = {}
    values["bad"] = array_that_runs(["not", "numbers"], values.clear)
    with pytest.raises(TypeError, match="value of 'bad'"):
        corvaxis.Properties(values)


# ---- Depth ----------------------------------------------------------------------------------------

def test_a_long_chain_of_sub_property_handles_releases_without_recursion():
    root = corvaxis.Properties()
    block = root
    for _ in range(50_000):
        block = block.add_sub_properties("level")
    del root
    gc.collect()
    assert block.keys() == []  # the innermost handle still keeps the whole tree
    del block
    gc.collect()


def test_deeply_nested_dicts_build_convert_back_and_self_containing_ones_are_refused():
    depth = 100_000
    nested = {"leaf": 1}
    for _ in range(depth):
        nested = {"inner": nested}
    tree = corvaxis.Properties(nested)
    block = tree
    for _ in range(8_000):
        block = block.sub_properties("inner")[0]
    assert block.sub_properties("inner")
    converted = tree.asdict()
    for _ in range(depth):
        (converted,) = converted["inner"]
    assert converted == {"leaf": 1}
    looped = {"a": 1}
    looped["self"] = {"again": looped}
    with pytest.raises(ValueError, match="contains itself"):
        corvaxis.Properties(looped)


# ---- Files: full disk, odd targets, long names, errors that say what happened ---------------------

# Every file format that saves image sets: a full disk, a read-only directory, a reader in another
# process and a partly written file must each leave what was there and say what happened.
FILE_FORMATS = [".cvx", ".nii", ".nii.gz"]


def filled_images(value, size=16):
    return corvaxis.SharedImageSet(np.full((size, size, size), value, dtype=np.uint8))


def noise_images(size=64):
    return corvaxis.SharedImageSet(np.random.default_rng(0).integers(0, 255, (size, size, size), dtype=np.uint8))


def assert_clear_system_error(error, target, numbers):
    assert error.errno in numbers and error.strerror and error.filename == str(target), error
    assert not isinstance(error, corvaxis.FileFormatError)


@pytest.mark.parametrize("suffix", FILE_FORMATS)
def test_a_full_disk_ends_in_enospc_leaving_the_old_file_and_no_temporary(run_on_full_disk, suffix):
    result = run_on_full_disk(f"""
        import errno, numpy as np, corvaxis
        suffix = {suffix!r}
        small = os.path.join(disk, "kept" + suffix)
        corvaxis.save(corvaxis.SharedImageSet(np.zeros((2, 3), np.uint8)), small)
        before = open(small, "rb").read()
        big = corvaxis.SharedImageSet(np.random.default_rng(0).integers(0, 255, (64, 64, 64), dtype=np.uint8))
        for target in (small, os.path.join(disk, "new" + suffix)):
            try:
                corvaxis.save(big, target)
            except OSError as error:
                assert error.errno == errno.ENOSPC and error.strerror and error.filename == target, error
            else:
                raise AssertionError("saved onto a full disk")
        # Fill the last blocks as well: saving must still fail cleanly.
        filler = os.open(os.path.join(disk, "filler"), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"x" * 512):
                pass
        except OSError:
            pass
        os.close(filler)
        try:
            corvaxis.save(corvaxis.SharedImageSet(np.ones((2, 3), np.uint8)), small)
        except OSError as error:
            assert error.errno == errno.ENOSPC, error
        assert open(small, "rb").read() == before
        assert sorted(os.listdir(disk)) == ["filler", "kept" + suffix], os.listdir(disk)
        print("ok")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("suffix", FILE_FORMATS)
def test_saving_into_a_read_only_directory_fails_clearly_leaving_the_old_file(tmp_path, make_read_only, suffix):
    kept = tmp_path / f"kept{suffix}"
    corvaxis.save(filled_images(1), kept)
    before = kept.read_bytes()
    make_read_only(tmp_path)
    for target in (kept, tmp_path / f"new{suffix}"):
        with pytest.raises(OSError) as error:
            corvaxis.save(noise_images(), target)
        assert_clear_system_error(error.value, target, (errno.EACCES, errno.EROFS))
    assert kept.read_bytes() == before
    assert os.listdir(tmp_path) == [kept.name]


# Reads the first bytes, waits for a line on its input, then reads the rest and writes all it read.
SLOW_READER = """
import sys
with open(sys.argv[1], "rb") as stream:
    first = stream.read(64)
    print("reading", flush=True)
    sys.stdin.readline()
    sys.stdout.buffer.write(first + stream.read())
"""


@pytest.mark.parametrize("suffix", FILE_FORMATS)
def test_saving_over_a_file_another_process_reads_leaves_the_reader_the_old_file(tmp_path, suffix):
    target = tmp_path / f"shared{suffix}"
    corvaxis.save(filled_images(1), target)
    before = target.read_bytes()
    reader = subprocess.Popen([sys.executable, "-c", SLOW_READER, str(target)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    try:
        assert reader.stdout.readline() == b"reading\n"
        corvaxis.save(filled_images(2), target)
        read, _ = reader.communicate(b"go on\n", timeout=60)
    finally:
        reader.kill()
        reader.wait()
    assert read == before
    np.testing.assert_array_equal(corvaxis.open(target).get(0), np.full((16, 16, 16), 2, np.uint8))
    assert os.listdir(tmp_path) == [target.name]


@pytest.mark.parametrize("suffix", FILE_FORMATS)
@pytest.mark.parametrize("written", [1, 200, 0.5, -16], ids=["a byte", "part of the header", "half", "all but the end"])
def test_opening_a_file_still_being_written_is_refused_until_it_is_complete(tmp_path, suffix, written):
    complete = tmp_path / f"complete{suffix}"
    corvaxis.save(noise_images(16), complete)
    content = complete.read_bytes()
    cut = int(len(content) * written) if isinstance(written, float) else written % len(content)
    target = tmp_path / f"growing{suffix}"
    with open(target, "wb") as stream:
        stream.write(content[:cut])
        stream.flush()
        with pytest.raises(corvaxis.FileFormatError) as error:
            corvaxis.open(target)
        assert error.value.filename == str(target) and str(target) in str(error.value)
        stream.write(content[cut:])
    np.testing.assert_array_equal(corvaxis.open(target).get(0), corvaxis.open(complete).get(0))


# Saves one of two uniform image sets over the same file, again and again.
REPEATED_SAVER = """
import sys, numpy as np, corvaxis
for round in range(int(sys.argv[2])):
    corvaxis.save(corvaxis.SharedImageSet(np.full((32, 32, 32), 1 + round % 2, np.uint8)), sys.argv[1])
"""


@pytest.mark.parametrize("suffix", FILE_FORMATS)
def test_a_file_opened_while_another_process_saves_over_it_is_always_whole(tmp_path, suffix):
    target = tmp_path / f"busy{suffix}"
    corvaxis.save(filled_images(1, 32), target)
    saver = subprocess.Popen([sys.executable, "-c", REPEATED_SAVER, str(target), "60"])
    values = set()
    try:
        while saver.poll() is None:
            pixels = corvaxis.open(target).get(0)
            assert pixels.min() == pixels.max(), "a mixture of two saves"
            values.add(int(pixels[0, 0, 0]))
    finally:
        saver.kill()
        saver.wait()
    assert values <= {1, 2} and saver.returncode == 0
    assert os.listdir(tmp_path) == [target.name]


@pytest.mark.parametrize("start, reason", [
    (b"", "no CORVAXIS signature"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file without the corvaxis header"),
], ids=["zeros", "plain HDF5"])
def test_a_huge_file_of_another_kind_is_refused_from_its_first_bytes(tmp_path, start, reason):
    path = tmp_path / "huge.cvx"
    with open(path, "wb") as stream:
        stream.write(start)
        stream.truncate(3 << 30)  # sparse: no disk space taken
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(corvaxis.FileFormatError, match=reason):
        corvaxis.open(path)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 << 10  # KiB: the file is never read


# Threads that read data files at once and one that saves them: each trial read forks while the
# others work, and nothing may hang or read wrong.
THREADED_READS = """
import sys, threading, numpy as np, corvaxis
sys.path.insert(0, sys.argv[2])
from conftest import cube_mesh, make_collection, make_structure
folder = sys.argv[1]
images = corvaxis.SharedImageSet(np.arange(4096, dtype=np.uint16).reshape(16, 16, 16))
paths = {"images": folder + "/images.cvx", "collection": folder + "/collection.cvx"}
corvaxis.save(images, paths["images"])
corvaxis.save(make_collection(make_structure("liver", meshes={"surface": cube_mesh(4.0)}),
                              make_structure("kidney", keypoints={"tip": [0.0, 0.0, 6.0]}),
                              make_structure("aorta")), paths["collection"])
stop, failures = threading.Event(), []

def reader(rounds):
    try:
        for _ in range(rounds):
            assert (corvaxis.open(paths["images"]).get(0) == images.get(0)).all()
            assert len(corvaxis.open(paths["collection"]).anatomical_structure_identifiers()) == 3
    except BaseException as error:
        failures.append(repr(error))

def saver():
    while not stop.is_set():
        corvaxis.save(images, folder + "/saved.cvx")

others = [threading.Thread(target=saver)]
readers = [threading.Thread(target=reader, args=(15,)) for _ in range(6)]
for thread in others + readers:
    thread.start()
for thread in readers:
    thread.join()
stop.set()
for thread in others:
    thread.join()
print(failures or "ok")
"""


def test_files_read_from_many_threads_at_once_never_hang(tmp_path):
    helpers = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, "-c", THREADED_READS, str(tmp_path), helpers], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stdout + result.stderr


def test_special_file_targets_are_refused_and_left_alone(tmp_path):
    fifo = tmp_path / "pipe.cvx"
    os.mkfifo(fifo)
    targets = [fifo]
    device = tmp_path / "null.cvx"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        targets.append(device)
    except PermissionError:
        pass
    for target in targets:
        with pytest.raises(OSError) as error:
            corvaxis.save(mesh(), target)
        assert error.value.errno == errno.EINVAL and "not a regular file" in error.value.strerror
        assert error.value.filename == str(target)
        assert not stat.S_ISREG(os.lstat(target).st_mode)
    with pytest.raises(OSError) as error:
        corvaxis.open(fifo)
    assert (error.value.errno, error.value.strerror, error.value.filename) == (
        errno.EINVAL, "is not a regular file", str(fifo))
    assert sorted(os.listdir(tmp_path)) == sorted(target.name for target in targets)


@pytest.mark.parametrize("name", ["x" * 251 + ".cvx", "é" * 125 + ".cvx"])
def test_the_longest_file_names_save_and_load(tmp_path, name):
    path = tmp_path / name
    corvaxis.save(mesh(), path)
    np.testing.assert_array_equal(corvaxis.open(path).vertices, VERTICES)
    assert os.listdir(tmp_path) == [name]


def test_missing_files_with_names_that_are_not_utf8_keep_their_names(tmp_path):
    missing = os.path.join(os.fsdecode(tmp_path), os.fsdecode(b"\xff\xfe.cvx"))
    with pytest.raises(FileNotFoundError) as error:
        corvaxis.open(missing)
    assert (error.value.errno, error.value.filename) == (errno.ENOENT, missing)
    assert error.value.strerror


# ---- Text that is not text -------------------------------------------------------------------------

def graph():
    return corvaxis.Graph(VERTICES, np.array([[0, 1]]))


TEXT_BOUNDARIES = {
    "Properties item": lambda text: corvaxis.Properties().__setitem__(text, 1),
    "Properties dict key": lambda text: corvaxis.Properties({text: 1}),
    "Properties str value": lambda text: corvaxis.Properties({"value": text}),
    "Properties name": lambda text: setattr(corvaxis.Properties(), "name", text),
    "Properties attributes": lambda text: setattr(corvaxis.Properties(), "attributes", {"a": text}),
    "sub-properties name": lambda text: corvaxis.Properties().add_sub_properties(text),
    "data name": lambda text: setattr(mesh(), "name", text),
    "label name": lambda text: corvaxis.LabelDataComponent().set_label_config(1, text),
    "node feature name": lambda text: graph().set_node_feature(text, np.zeros(3)),
    "log category": lambda text: corvaxis._core._log.write(4, text, "message"),
}


@pytest.mark.parametrize("boundary", TEXT_BOUNDARIES.values(), ids=TEXT_BOUNDARIES.keys())
@pytest.mark.parametrize("text", [b"\xff\xfe", b"\xc0\xaf", "\udcff"])
def test_text_boundaries_refuse_invalid_utf8_and_unencodable_text(boundary, text):
    with pytest.raises((TypeError, ValueError)):
        boundary(text)


def test_files_holding_invalid_text_are_refused_and_messages_keep_nul_keys(tmp_path, reseal):
    path = tmp_path / "named.cvx"
    corvaxis.save(mesh(), path)
    reseal(path, lambda stored: stored.attrs.__setitem__("name", np.bytes_(b"\xff\xfe")))
    with pytest.raises(corvaxis.FileFormatError, match="not UTF-8"):
        corvaxis.open(path)
    with pytest.raises(KeyError) as error:
        corvaxis.Properties()["a\0b"]
    assert error.value.args == ("a\0b",)


# ---- Numbers that are not numbers, in arguments and in files ----------------------------------------

@pytest.mark.parametrize("values", [
    np.ma.masked_array(VERTICES, mask=np.zeros_like(VERTICES)),
    VERTICES.astype(complex),
    VERTICES.astype(str),
    VERTICES.astype(bool),
])
def test_vertices_refuse_what_is_not_plain_numbers(values):
    with pytest.raises(TypeError):
        corvaxis.Mesh(values, np.array([[0, 1, 2]]))


@pytest.mark.parametrize("change, reason", [
    (lambda stored: stored["vertices"].__setitem__((0, 0), np.nan), "NaN or infinite coordinates"),
    (lambda stored: stored.attrs.__setitem__("matrix", np.full((4, 4), np.inf)), "NaN or infinite"),
])
def test_files_holding_values_constructors_refuse_are_refused(tmp_path, reseal, change, reason):
    path = tmp_path / "refused.cvx"
    corvaxis.save(mesh(), path)
    reseal(path, change)
    with pytest.raises(corvaxis.FileFormatError, match=reason):
        corvaxis.open(path)


def test_image_files_with_bad_spacing_are_refused(tmp_path, reseal):
    path = tmp_path / "spacing.cvx"
    corvaxis.save(corvaxis.SharedImageSet(np.zeros((2, 2), np.uint8)), path)
    reseal(path, lambda stored: stored["images/0"].attrs.__setitem__("spacing", np.array([1.0, 0.0, np.nan])))
    with pytest.raises(corvaxis.FileFormatError, match="spacing"):
        corvaxis.open(path)


# ---- Building images needs no second copy ------------------------------------------------------------

@pytest.mark.parametrize("layout", [
    lambda pixels: np.asfortranarray(pixels),
    lambda pixels: pixels.astype(pixels.dtype.newbyteorder()),
    lambda pixels: pixels[::-1],
])
def test_images_convert_straight_into_the_host_buffer(layout):
    pixels = np.arange(64 * 128 * 128, dtype=np.int16).reshape(64, 128, 128)
    given = layout(pixels)
    tracemalloc.start()
    try:
        built = corvaxis.SharedImageSet(given)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < pixels.nbytes // 8
    np.testing.assert_array_equal(built.get(0), given)
