"""Under the sanitizer build, a bad memory operation in a process the tests start ends that process
with a report, so that a fault cannot pass as a test that ran through."""

import pytest

ALLOCATE = """
    import ctypes
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    block = libc.malloc(8)
"""


@pytest.mark.parametrize("bad_operation, report", [
    ("ctypes.memset(block, 0, 64)", "heap-buffer-overflow"),
    ("libc.free(block); ctypes.memset(block, 0, 1)", "heap-use-after-free"),
    ("libc.free(block); libc.free(block)", "attempting double-free"),
])
def test_bad_memory_operation_ends_the_process(sanitized_child, bad_operation, report):
    completed = sanitized_child(ALLOCATE + "    " + bad_operation + "\n    print('ran through')\n")
    assert completed.returncode != 0
    assert report in completed.stderr and "ran through" not in completed.stdout
