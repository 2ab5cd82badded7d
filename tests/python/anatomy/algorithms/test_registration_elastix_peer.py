"""The benchmarks' reading of elastix's rigid transform in our convention (moving world onto fixed
world, NIfTI world coordinates): points moved as transformix moves them, and a known translation
that elastix recovers given back. Skipped where elastix is not installed."""

import re
import shutil
import subprocess

import numpy as np
import pytest

EULER_TRANSFORM = """\
(Transform "EulerTransform")
(NumberOfParameters 6)
(TransformParameters {parameters})
(InitialTransformParameterFileName "NoInitialTransform")
(HowToCombineTransforms "Compose")
(FixedImageDimension 3)
(MovingImageDimension 3)
(FixedInternalImagePixelType "float")
(MovingInternalImagePixelType "float")
(Size 8 8 8)
(Index 0 0 0)
(Spacing 1 1 1)
(Origin 0 0 0)
(Direction 1 0 0 0 1 0 0 0 1)
(UseDirectionCosines "true")
(CenterOfRotationPoint {centre})
(ComputeZYX "{zyx}")
(ResampleInterpolator "FinalLinearInterpolator")
(Resampler "DefaultResampler")
(DefaultPixelValue 0)
(ResultImageFormat "nii")
(ResultImagePixelType "float")
"""
WORLD_POINTS = np.array([[0, 0, 0], [10, -20, 30], [-7, 4, 12], [25, 25, -25]], dtype=float)
RAS_TO_LPS = np.array([-1.0, -1.0, 1.0])

EULER_CASES = [
    # name, angles about x, y, z (radians), translation (mm), centre of rotation (mm), ComputeZYX
    ("translation only", (0, 0, 0), (3, -2, 1.5), (0, 0, 0), "false"),
    ("rotation about a centre off the origin", (0.1, -0.2, 0.3), (1, 2, 3), (5, -4, 2), "false"),
    ("rotation composed z, y, x", (0.1, -0.2, 0.3), (1, 2, 3), (5, -4, 2), "true"),
]


def numbers(values):
    return " ".join(repr(float(v)) for v in values)


@pytest.mark.parametrize("name, angles, translation, centre, zyx", EULER_CASES, ids=[c[0] for c in EULER_CASES])
def test_conversion_moves_points_as_transformix_does(elastix_peer, registration_kit, tmp_path, name, angles,
                                                     translation, centre, zyx):
    transform = tmp_path / "TransformParameters.txt"
    transform.write_text(EULER_TRANSFORM.format(parameters=numbers((*angles, *translation)), centre=numbers(centre),
                                                zyx=zyx))
    points = tmp_path / "points.txt"
    points.write_text(f"point\n{len(WORLD_POINTS)}\n" + "".join(numbers(p) + "\n" for p in WORLD_POINTS * RAS_TO_LPS))
    subprocess.run([shutil.which("transformix"), "-def", str(points), "-tp", str(transform), "-out", str(tmp_path)],
                   check=True, capture_output=True)
    output = (tmp_path / "outputpoints.txt").read_text()
    moved = np.array([row.split() for row in re.findall(r"OutputPoint = \[([^\]]*)\]", output)], dtype=float)

    # transformix maps fixed points to moving ones, in LPS; ours maps moving world onto fixed world.
    fixed_to_moving = np.linalg.inv(elastix_peer.moving_to_fixed_world(elastix_peer.read_parameter_file(transform)))
    np.testing.assert_allclose(moved * RAS_TO_LPS, registration_kit.move_points(fixed_to_moving, WORLD_POINTS),
                               atol=1e-4)


def centred_grid(size, spacing):
    grid = np.diag([spacing, spacing, spacing, 1.0])
    grid[:3, 3] = -spacing * (size - 1) / 2
    return grid


@pytest.mark.parametrize("name, moving_turn", [("same grids", 0.0), ("moving grid turned and shifted", 90.0)])
def test_elastix_recovers_a_known_translation_in_our_convention(elastix_peer, registration_kit, tmp_path, name,
                                                                moving_turn):
    kit = registration_kit
    truth = kit.similarity(translation=(4.0, -3.0, 2.0))
    size = 40
    moving_grid = kit.similarity(moving_turn, (0, 0, 1), (3.0 * np.sign(moving_turn), 0, 0)) @ centred_grid(size, 2.5)
    fixed = kit.blob_image(size, centred_grid(size, 2.5))
    moving = kit.blob_image(size, moving_grid, np.linalg.inv(truth))

    found, seconds, _ = elastix_peer.register(fixed, moving, tmp_path, iterations=150, samples=2048)
    assert seconds > 0
    assert kit.rotation_error_degrees(found, truth) < 0.3
    np.testing.assert_allclose(found[:3, 3], truth[:3, 3], atol=0.3)
