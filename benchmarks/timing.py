"""Timing shared by the benchmark scripts (each is run as a script, so this folder is on the path)."""

import time


def best_of(repeats, function):
    """The shortest of several runs: the one least disturbed by the rest of the machine."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)
