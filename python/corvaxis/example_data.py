"""Synthetic subjects to try the package on: NIfTI label maps of a liver-, a kidney- and a
spleen-like organ of varying size and form, each subject lying differently in a rotated scanner
grid of anisotropic voxels, and, on request, an intensity scan of each subject on the same grid.

``corvaxis example-data DIR`` writes them from the command line; the demo draws its population
with the same generator.
"""

from __future__ import annotations

import os
import pathlib

import numpy as np
from numpy.typing import NDArray

import corvaxis

LABELS = {1: "liver", 2: "kidney", 3: "spleen"}
SHAPE = (64, 58, 40)              # voxels along x, y, z
SPACING = (2.0, 2.0, 3.0)         # mm, anisotropic
SEED = 2026

# Mean intensities of the scans: background, body and each label; noise is added on top.
BACKGROUND, BODY = 0.0, 40.0
ORGAN_INTENSITIES = {1: 110.0, 2: 170.0, 3: 140.0}
NOISE = 6.0


def rotation(axis: NDArray[np.float64] | list[float], degrees: float) -> NDArray[np.float64]:
    """The 3x3 rotation by degrees about an axis (Rodrigues' formula)."""
    unit = np.asarray(axis, float) / np.linalg.norm(axis)
    angle = np.radians(degrees)
    k = np.array([[0, -unit[2], unit[1]], [unit[2], 0, -unit[0]], [-unit[1], unit[0], 0]])
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k


def subject_pose(rng: np.random.Generator) -> NDArray[np.float64]:
    """Where a subject lies in the scanner: a rotation of up to 10 degrees and a shift of up to 8 mm."""
    pose = np.eye(4)
    pose[:3, :3] = rotation(rng.normal(size=3), rng.uniform(-10.0, 10.0))
    pose[:3, 3] = rng.uniform(-8.0, 8.0, 3)
    return pose


def organ_masks(body: NDArray[np.float64], rng: np.random.Generator) -> dict[int, NDArray[np.bool_]]:
    """Boolean masks of the three organs at body positions (..., 3) in mm, varied per subject."""
    size = rng.normal(1.0, 0.08)
    elongation = rng.normal(1.0, 0.1)
    masks = {}
    # Liver: a large ellipsoid with a second lobe.
    centre = np.array([-8.0, 4.0, 0.0]) + rng.normal(0, 1.5, 3)
    semi = np.array([30.0 * elongation, 20.0, 14.0]) * size
    lobe = centre + np.array([20.0, -10.0, 2.0]) * size
    masks[1] = (np.sum(((body - centre) / semi) ** 2, axis=-1) <= 1) | (
        np.sum(((body - lobe) / (semi * [0.45, 0.55, 0.7])) ** 2, axis=-1) <= 1)
    # Kidney: an elongated ellipsoid, below and behind.
    centre = np.array([22.0, 26.0, -8.0]) + rng.normal(0, 1.0, 3)
    semi = np.array([9.0, 14.0 * elongation, 8.0]) * rng.normal(1.0, 0.07)
    masks[2] = np.sum(((body - centre) / semi) ** 2, axis=-1) <= 1
    # Spleen: a flattened ellipsoid on the other side.
    centre = np.array([-34.0, 26.0, 6.0]) + rng.normal(0, 1.0, 3)
    semi = np.array([12.0, 9.0 * rng.normal(1.0, 0.1), 10.0]) * size
    masks[3] = np.sum(((body - centre) / semi) ** 2, axis=-1) <= 1
    return masks


def body_positions() -> NDArray[np.float64]:
    """Positions in mm about the grid's centre of every voxel, indexed (z, y, x) like an image set."""
    extent = (np.array(SHAPE) - 1) * SPACING
    z, y, x = np.meshgrid(*(np.arange(n) for n in SHAPE[::-1]), indexing="ij")
    return np.stack([x * SPACING[0], y * SPACING[1], z * SPACING[2]], axis=-1) - extent / 2


def scan_of(labels: NDArray[np.uint8], body: NDArray[np.float64], rng: np.random.Generator) -> NDArray[np.float32]:
    """Intensities of a subject: an elliptic body, the organs brighter, Gaussian noise over all."""
    extent = (np.array(SHAPE) - 1) * SPACING
    inside = np.sum((body / (extent * [0.48, 0.46, 0.55])) ** 2, axis=-1) <= 1
    scan = np.where(inside, BODY, BACKGROUND)
    for label, intensity in ORGAN_INTENSITIES.items():
        scan[labels == label] = intensity
    return (scan + rng.normal(0.0, NOISE, scan.shape)).astype(np.float32)


def write_subjects(folder: str | os.PathLike[str], count: int = 4, *, seed: int = SEED,
                   scans: bool = False) -> list[pathlib.Path]:
    """Write count subjects' label maps as folder/subject_NN.nii.gz (created when missing) and,
    with scans, their intensity scans as folder/scans/subject_NN.nii.gz; return the label maps'
    paths. The same seed gives the same subjects."""
    if count < 1:
        raise ValueError(f"count must be at least 1, got {count}")
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    if scans:
        (folder / "scans").mkdir(exist_ok=True)
    rng = np.random.default_rng(seed)
    extent = (np.array(SHAPE) - 1) * SPACING
    body = body_positions()
    base = np.eye(4)
    base[:3, :3] = rotation([0.2, 0.3, 1.0], 12.0)     # the scanner's grid is rotated in the world
    centre_grid = np.eye(4)
    centre_grid[:3, 3] = -extent / 2
    paths = []
    for subject in range(count):
        labels = np.zeros(SHAPE[::-1], dtype=np.uint8)
        for label, mask in organ_masks(body, rng).items():
            labels[mask & (labels == 0)] = label
        voxel_to_world = subject_pose(rng) @ base @ centre_grid @ np.diag([*SPACING, 1.0])
        image = corvaxis.SharedImageSet(labels, spacing=SPACING, modality=corvaxis.Modality.LABEL)
        image.voxel_to_world = voxel_to_world
        path = folder / f"subject_{subject:02d}.nii.gz"
        corvaxis.save(image, path)
        paths.append(path)
        if scans:
            # Its own generator, so that the label maps are the same with and without scans.
            noise = np.random.default_rng([seed, subject])
            scan = corvaxis.SharedImageSet(scan_of(labels, body, noise), spacing=SPACING)
            scan.voxel_to_world = voxel_to_world
            corvaxis.save(scan, folder / "scans" / path.name)
    return paths
