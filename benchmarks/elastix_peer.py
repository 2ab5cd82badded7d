"""elastix, the command-line image registration tool, as a peer of RigidImages in the benchmarks.

elastix is optional: `elastix_path()` is None when it is not installed, and callers say that they
skipped it. Images go to elastix as NIfTI files written by corvaxis.save, so both tools see the
same voxels in the same geometry.

Conventions to bridge (elastix reads NIfTI through its own image library):
- elastix's physical space is LPS: a NIfTI (RAS) world point (x, y, z) is (-x, -y, z) there;
- its transform maps fixed points to moving points (it resamples the moving image onto the fixed
  grid), where ours maps moving world onto fixed world;
- its Euler transform rotates about a centre: p -> R (p - c) + c + t, with R = Rz Rx Ry, or
  Rz Ry Rx when ComputeZYX is "true".
"""

import pathlib
import re
import shutil
import subprocess
import time

import numpy as np

import corvaxis

RAS_TO_LPS = np.diag([-1.0, -1.0, 1.0, 1.0])

# Rigid (Euler) transform, multi-resolution Mattes mutual information, started from the centres of
# gravity as ours is. Budget: 3 levels and 32 bins as ours; elastix draws new random samples at
# every iteration, so it takes more iterations of fewer samples.
RIGID_PARAMETERS = """\
(FixedInternalImagePixelType "float")
(MovingInternalImagePixelType "float")
(FixedImageDimension 3)
(MovingImageDimension 3)
(UseDirectionCosines "true")
(Registration "MultiResolutionRegistration")
(FixedImagePyramid "FixedSmoothingImagePyramid")
(MovingImagePyramid "MovingSmoothingImagePyramid")
(NumberOfResolutions 3)
(Transform "EulerTransform")
(AutomaticScalesEstimation "true")
(AutomaticTransformInitialization "true")
(AutomaticTransformInitializationMethod "CenterOfGravity")
(HowToCombineTransforms "Compose")
(Metric "AdvancedMattesMutualInformation")
(NumberOfHistogramBins 32)
(Optimizer "AdaptiveStochasticGradientDescent")
(MaximumNumberOfIterations {iterations})
(ImageSampler "RandomCoordinate")
(NumberOfSpatialSamples {samples})
(NewSamplesEveryIteration "true")
(Interpolator "LinearInterpolator")
(ResampleInterpolator "FinalLinearInterpolator")
(Resampler "DefaultResampler")
(DefaultPixelValue 0)
(WriteResultImage "false")
"""


def elastix_path():
    return shutil.which("elastix")


def transformix_path():
    return shutil.which("transformix")


def rigid_parameters(iterations=250, samples=2048):
    return RIGID_PARAMETERS.format(iterations=iterations, samples=samples)


def read_parameter_file(path):
    """An elastix parameter file as {name: [values]}; numbers become floats, quoted texts stay texts."""
    entries = {}
    for line in pathlib.Path(path).read_text().splitlines():
        match = re.match(r"\s*\((\w+)\s+(.*)\)\s*$", line.split("//")[0])
        if not match:
            continue
        values = re.findall(r'"([^"]*)"|(\S+)', match.group(2))
        entries[match.group(1)] = [text if text or not number else float(number) for text, number in values]
    return entries


def euler_rotation(angles, compute_zyx):
    """Rotation matrix of elastix's Euler transform for angles (radians) about x, y and z."""
    cx, cy, cz = np.cos(angles)
    sx, sy, sz = np.sin(angles)
    rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    rz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return rz @ ry @ rx if compute_zyx else rz @ rx @ ry


def fixed_to_moving_physical(entries):
    """elastix's transform (fixed physical point to moving physical point) as a 4x4 matrix."""
    if entries.get("Transform") != ["EulerTransform"]:
        raise ValueError(f"expected an EulerTransform, found {entries.get('Transform')}")
    if entries.get("InitialTransformParameterFileName", ["NoInitialTransform"]) != ["NoInitialTransform"]:
        raise ValueError("the transform is composed with an initial transform, which is not read here")
    parameters = np.array(entries["TransformParameters"], float)
    centre = np.array(entries.get("CenterOfRotationPoint", [0.0, 0.0, 0.0]), float)
    rotation = euler_rotation(parameters[:3], entries.get("ComputeZYX", ["false"]) == ["true"])
    matrix = np.eye(4)
    matrix[:3, :3] = rotation
    matrix[:3, 3] = centre - rotation @ centre + parameters[3:]
    return matrix


def moving_to_fixed_world(entries, physical_from_world=RAS_TO_LPS):
    """elastix's result in our convention: moving world onto fixed world. physical_from_world maps
    our world into elastix's physical space (RAS to LPS for NIfTI input)."""
    fixed_to_moving = np.linalg.inv(physical_from_world) @ fixed_to_moving_physical(entries) @ physical_from_world
    return np.linalg.inv(fixed_to_moving)


def registration_seconds(log_text):
    """The time elastix reports for the registration itself (reading the images excluded), or None."""
    match = re.search(r"Time used for running elastix with this parameter file:\s*([\d.]+)\s*s", log_text)
    if not match:
        match = re.search(r"Total time elapsed:\s*([\d.]+)\s*s", log_text)
    return float(match.group(1)) if match else None


def register(fixed_images, moving_images, folder, threads=2, **budget):
    """Runs elastix on two image sets (each written as NIfTI with its voxel_to_world) and returns
    (moving-to-fixed world transformation, wall seconds of the whole run, seconds elastix reports)."""
    folder = pathlib.Path(folder)
    fixed_path, moving_path, parameters_path = folder / "fixed.nii", folder / "moving.nii", folder / "rigid.txt"
    corvaxis.save(fixed_images, str(fixed_path))
    corvaxis.save(moving_images, str(moving_path))
    parameters_path.write_text(rigid_parameters(**budget))
    output = folder / "elastix"
    output.mkdir(exist_ok=True)
    command = [elastix_path(), "-f", fixed_path, "-m", moving_path, "-p", parameters_path, "-out", output,
               "-threads", str(threads)]
    start = time.perf_counter()
    finished = subprocess.run(list(map(str, command)), capture_output=True, text=True)
    seconds = time.perf_counter() - start
    log_path = output / "elastix.log"
    log = log_path.read_text(errors="replace") if log_path.exists() else finished.stdout
    if finished.returncode != 0:
        raise RuntimeError(f"elastix failed ({finished.returncode}): {log[-2000:]}{finished.stderr[-2000:]}")
    entries = read_parameter_file(output / "TransformParameters.0.txt")
    return moving_to_fixed_world(entries), seconds, registration_seconds(log)
