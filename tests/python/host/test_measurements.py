"""Mesh measurements in world coordinates: counts, enclosed volume, area and volume centroid."""

import numpy as np
import pytest

import corvaxis
from corvaxis.measurements import mesh_figures


def placed(mesh, matrix):
    mesh.matrix = matrix
    return mesh


def reversed_winding(mesh):
    return corvaxis.Mesh(mesh.vertices, mesh.faces[:, ::-1])


@pytest.mark.parametrize("build, volume, area, centroid", [
    (lambda cube, move: cube(1.0), 8.0, 24.0, [0, 0, 0]),
    (lambda cube, move: cube(1.0, center=(3, -2, 1)), 8.0, 24.0, [3, -2, 1]),
    (lambda cube, move: reversed_winding(cube(2.0)), 64.0, 96.0, [0, 0, 0]),
    # Placed by its own matrix: scaled by 2 and shifted, far from the origin.
    (lambda cube, move: placed(cube(1.0), np.diag([2.0, 2.0, 2.0, 1.0]) + move(1e6, 0, -5e5) - np.eye(4)),
     64.0, 96.0, [1e6, 0, -5e5]),
    # Open: no volume, no centroid.
    (lambda cube, move: corvaxis.Mesh(np.eye(3), np.array([[0, 1, 2]])), 0.0, np.sqrt(3) / 2, [np.nan] * 3),
])
def test_mesh_figures(cube_mesh, translation, build, volume, area, centroid):
    figures = mesh_figures(build(cube_mesh, translation))
    assert figures.volume == pytest.approx(volume, rel=1e-9, abs=1e-9)
    assert figures.area == pytest.approx(area, rel=1e-9)
    np.testing.assert_allclose(figures.centroid, centroid, atol=1e-6)
