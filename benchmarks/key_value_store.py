"""Key-value wrapper speed, as ratios against baselines measured in the same run.

1. wrapper[key] read and write for a keypoint, against a plain dict holding NumPy arrays;
2. from_dict with 1,000 / 10,000 / 100,000 keypoints: each tenfold size should cost about
   ten times as much (n log n), never a hundred times (n squared).
"""

import math

import numpy as np

import corvaxis.anatomy as anatomy
from timing import best_of


def item_access(rounds=20000):
    structure = anatomy.GenericAnatomicalStructure("bench")
    wrapper = structure.keypoints2
    plain = {}
    point = np.array([1.0, 2.0, 3.0])
    wrapper["tip"] = point
    plain["tip"] = point.copy()

    def wrapper_write():
        for _ in range(rounds):
            wrapper["tip"] = point

    def plain_write():
        for _ in range(rounds):
            plain["tip"] = point.copy()

    def wrapper_read():
        for _ in range(rounds):
            wrapper["tip"]

    def plain_read():
        for _ in range(rounds):
            plain["tip"].copy()

    for name, measured, baseline in [("read", wrapper_read, plain_read), ("write", wrapper_write, plain_write)]:
        ours, theirs = best_of(5, measured), best_of(5, baseline)
        print(f"wrapper[key] {name}: {ours / rounds * 1e9:8.0f} ns, dict of arrays {theirs / rounds * 1e9:6.0f} ns, "
              f"ratio {ours / theirs:5.2f}")


def bulk_assignment():
    rng = np.random.default_rng(0)
    previous = None
    for size in (1_000, 10_000, 100_000):
        points = {f"landmark{i:06d}": rng.random(3) for i in range(size)}
        structure = anatomy.GenericAnatomicalStructure("bench")
        wrapper = structure.keypoints2
        elapsed = best_of(3, lambda: wrapper.from_dict(points))
        line = f"from_dict {size:7d} keypoints: {elapsed * 1e3:8.1f} ms"
        if previous:
            growth = elapsed / previous[1]
            n_log_n = size * math.log(size) / (previous[0] * math.log(previous[0]))
            line += f", growth x{growth:5.1f} (n log n: x{n_log_n:4.1f}, n squared: x{(size / previous[0]) ** 2:5.0f})"
        print(line)
        previous = (size, elapsed)


if __name__ == "__main__":
    item_access()
    bulk_assignment()
