"""Label maps to collections, and NIfTI loading, as ratios against peers measured in the same run.

1. A 256³ label map with 8 labels of different sizes and anisotropic spacing, from array to
   collection (generic_asc_from_label_map), against scikit-image's marching_cubes run per label
   on the label's cropped box (marching cubes alone, no smoothing). Goal: at most 0.25 of
   scikit-image's time with the default smooth surfaces.
2. The same at 512³ (set CORVAXIS_BENCH_LARGE=1; off by default, it takes a while): at most 10
   times the 256³ time (best of three runs each, as for 256³).
3. Loading the 256³ map from .nii.gz with corvaxis.open against nibabel (get_fdata would convert
   to float64, so nibabel's integer array is read with np.asanyarray(dataobj)). Goal: at most
   nibabel's time.
4. One structure filling a 256³ map, smooth and decimated to a quarter of its triangles: the
   longest wait between progress reports (goal: at most 0.25 s) and, for a callback that raises
   at 70 % (while decimating), how long compute takes to return after the raise (goal: at most
   0.5 s).
"""

import os
import tempfile
import time

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy
from timing import best_of

SPACING = (0.8, 0.8, 1.5)


def label_volume(size):
    """(D, H, W) uint8 labels 1..8: ellipsoids of radii from 4 % to 30 % of the volume."""
    rng = np.random.default_rng(11)
    volume = np.zeros((size, size, size), np.uint8)
    z, y, x = np.ogrid[:size, :size, :size]
    for label in range(1, 9):
        radius = size * (0.04 + 0.035 * (label - 1)) * rng.uniform(0.8, 1.0, 3)
        centre = rng.uniform(radius, size - radius)
        inside = ((x - centre[0]) / radius[0]) ** 2 + ((y - centre[1]) / radius[1]) ** 2 + (
            (z - centre[2]) / radius[2]
        ) ** 2 <= 1.0
        volume[inside] = label
    return volume


def ours(volume):
    images = corvaxis.SharedImageSet(volume, spacing=SPACING, modality=corvaxis.Modality.LABEL)
    asc = anatomy.generic_asc_from_label_map(images, {label: f"label {label}" for label in range(1, 9)})
    assert asc.num_anatomical_structures() == 8
    return asc


def scikit_image(volume):
    from skimage.measure import marching_cubes

    for label in range(1, 9):
        where = np.nonzero(volume == label)
        lower = [max(int(axis.min()) - 1, 0) for axis in where]
        upper = [int(axis.max()) + 2 for axis in where]
        box = volume[lower[0] : upper[0], lower[1] : upper[1], lower[2] : upper[2]] == label
        marching_cubes(np.pad(box, 1).astype(np.float32), 0.5, spacing=SPACING[::-1])


def compare_meshing(volume, repeats):
    mine = best_of(repeats, lambda: ours(volume))
    peer = best_of(repeats, lambda: scikit_image(volume))
    return mine, peer


def main():
    volume = label_volume(256)
    mine, peer = compare_meshing(volume, 3)
    print(f"label map 256³ -> collection: {mine:.3f} s, scikit-image per label {peer:.3f} s, "
          f"ratio {mine / peer:.2f} (goal <= 0.25)")

    if os.environ.get("CORVAXIS_BENCH_LARGE"):
        large = label_volume(512)
        large_time = best_of(3, lambda: ours(large))
        print(f"label map 512³ -> collection: {large_time:.3f} s, ratio to 256³ {large_time / mine:.2f} "
              "(goal <= 10)")
    else:
        print("label map 512³: skipped (set CORVAXIS_BENCH_LARGE=1)")

    import nibabel

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "labels.nii.gz")
        corvaxis.save(corvaxis.SharedImageSet(volume, spacing=SPACING, modality=corvaxis.Modality.LABEL), path)
        mine = best_of(3, lambda: corvaxis.open(path).get())
        peer = best_of(3, lambda: np.asanyarray(nibabel.load(path).dataobj))
        print(f"NIfTI .nii.gz load 256³: {mine:.3f} s, nibabel {peer:.3f} s, ratio {mine / peer:.2f} (goal <= 1)")

    whole, longest, stopping = one_large_structure(256)
    print(f"one structure filling 256³, smooth, decimated to 25 %: {whole:.2f} s; longest wait between progress "
          f"reports {longest:.3f} s (goal <= 0.25); raised at 70 %, returned after {stopping:.3f} s (goal <= 0.5)")


class Stop(Exception):
    pass


def one_large_structure(size):
    """(whole time, longest wait between reports, time from a raise at 70 % to compute's return)."""
    z, y, x = np.ogrid[:size, :size, :size]
    centre = size / 2
    inside = ((x - centre) / (0.45 * size)) ** 2 + ((y - centre) / (0.40 * size)) ** 2 + (
        (z - centre) / (0.35 * size)
    ) ** 2 <= 1.0
    images = corvaxis.SharedImageSet(inside.astype(np.uint8), modality=corvaxis.Modality.LABEL)
    algorithm = anatomy.GenericASCFromMultiLabelMap(images, {1: "blob"})
    algorithm.p_decimate = 0.25
    reports = []
    algorithm.set_progress_callback(lambda fraction, step: reports.append(time.perf_counter()))
    start = time.perf_counter()
    algorithm()
    times = [start, *reports, time.perf_counter()]
    longest = max(later - earlier for earlier, later in zip(times, times[1:]))

    raised = []

    def stop(fraction, step):
        if fraction >= 0.7:
            raised.append(time.perf_counter())
            raise Stop

    algorithm.set_progress_callback(stop)
    try:
        algorithm()
    except Stop:
        pass
    return times[-1] - start, longest, time.perf_counter() - raised[0]


if __name__ == "__main__":
    main()
