"""
Figures of surfaces measured by the host.
"""
from __future__ import annotations
import numpy
import numpy.typing
import typing
__all__: list[str] = ['surface_distances']
def surface_distances(points: typing.Any, vertices: typing.Any, faces: typing.Any) -> numpy.typing.NDArray[numpy.float64]:
    """
    Exact distance of every point (N, 3) to the triangle surface of vertices (M, 3) and faces (K, 3), as an (N,) array. ValueError for a surface without faces or a face that indexes a missing vertex.
    """
