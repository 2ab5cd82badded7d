"""Registration core speed, as ratios against peers measured in the same run.

The registration core is not reachable from Python before the collection registration is wired,
so its timings come from the C++ program registration_benchmark of the build tree (set
CORVAXIS_REGISTRATION_BENCHMARK to use another one).

1. Non-rigid Coherent Point Drift, sphere (about 2 000 vertices) onto an ellipsoid (about 2 000),
   the same number of iterations on both sides: ours against a dense NumPy version written from
   the paper's equations (goal: at most 0.2 of its time).
2. The same at about 20 000 x 20 000 vertices until converged: time and peak memory (goal: 1 GB).
3. Rigid images, 96^3 blobs rotated 8 degrees and shifted, same and other modality: time and errors.
"""

import os
import pathlib
import subprocess
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROGRAM = os.environ.get("CORVAXIS_REGISTRATION_BENCHMARK",
                         str(ROOT / "build" / "cmake" / "tests" / "cpp" / "registration_benchmark"))
ITERATIONS = 20


def run(*arguments):
    output = subprocess.run([PROGRAM, *map(str, arguments)], check=True, capture_output=True, text=True).stdout
    figures = dict(line.split(" ", 1) for line in output.splitlines())
    return {name: float(value) for name, value in figures.items()}


def dense_cpd(fixed, moving, iterations, beta=2.0, lam=2.0, tolerance=0.0):
    """Non-rigid CPD (Myronenko and Song 2010, Fig. 4) with the full kernel and posterior matrices;
    with a tolerance it stops as ours does, when the negative log-likelihood changes by less than
    that fraction of itself."""
    centre = fixed.mean(axis=0)
    scale = np.sqrt(((fixed - centre) ** 2).sum(axis=1).mean())
    x = (fixed - centre) / scale
    y = (moving - centre) / scale
    n, d = x.shape
    m = y.shape[0]
    g = np.exp(-((y[:, None, :] - y[None, :, :]) ** 2).sum(axis=2) / (2.0 * beta**2))
    t = y.copy()
    sigma2 = (m * (x**2).sum() + n * (y**2).sum() - 2.0 * x.sum(0) @ y.sum(0)) / (d * m * n)
    w = np.zeros_like(y)
    previous = np.inf
    for _ in range(iterations):
        distances = ((x[None, :, :] - t[:, None, :]) ** 2).sum(axis=2)
        p = np.exp(-distances / (2.0 * sigma2))
        denominator = p.sum(axis=0, keepdims=True)
        if tolerance > 0.0:
            objective = -np.log(denominator).sum() + 1.5 * n * np.log(sigma2) + 0.5 * lam * np.trace(w.T @ g @ w)
            if abs(previous - objective) <= tolerance * abs(objective):
                break
            previous = objective
        p /= denominator
        p1, pt1, px = p.sum(axis=1), p.sum(axis=0), p @ x
        w = np.linalg.solve(p1[:, None] * g + lam * sigma2 * np.eye(m), px - p1[:, None] * y)
        t = y + g @ w
        sigma2 = ((pt1 * (x**2).sum(1)).sum() - 2.0 * (px * t).sum() + (p1 * (t**2).sum(1)).sum()) / (p1.sum() * d)
    return t * scale + centre


def main():
    if not os.access(PROGRAM, os.X_OK):
        raise SystemExit(f"registration_benchmark not found at {PROGRAM}; build the project first")
    with tempfile.TemporaryDirectory() as folder:
        ours = run("deformable", 2000, ITERATIONS, folder)
        fixed = np.loadtxt(pathlib.Path(folder) / "fixed.txt")
        moving = np.loadtxt(pathlib.Path(folder) / "moving.txt")
        start = time.perf_counter()
        dense_cpd(fixed, moving, ITERATIONS)
        theirs = time.perf_counter() - start
    print(f"CPD {int(ours['moving_vertices'])} x {int(ours['fixed_vertices'])}, {ITERATIONS} iterations: "
          f"{ours['seconds']:.3f} s, dense NumPy {theirs:.3f} s, ratio {ours['seconds'] / theirs:.3f} (goal <= 0.2)")
    with tempfile.TemporaryDirectory() as folder:
        large = run("deformable", 20000, 0, folder)
    print(f"CPD {int(large['moving_vertices'])} x {int(large['fixed_vertices'])} until converged: "
          f"{large['seconds']:.1f} s, {int(large['iterations'])} iterations, peak {large['peak_megabytes']:.0f} MB "
          f"(goal <= 1024), mean distance {large['mean_distance']:.3f} mm, largest {large['max_distance']:.3f} mm, "
          f"{int(large['flipped_faces'])} folded faces")
    for remap in ([], ["remap"]):
        images = run("images", 96, *remap)
        print(f"Rigid images 96^3{' (other modality)' if remap else ''}: {images['seconds']:.2f} s, "
              f"{images['rotation_error_degrees']:.3f} deg, {images['translation_error_mm']:.3f} mm")


if __name__ == "__main__":
    main()
