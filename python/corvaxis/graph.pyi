"""
Geometric graphs.
"""
from __future__ import annotations
import corvaxis._core
import numpy
import numpy.typing
import typing
__all__: list[str] = ['Graph']
class Graph(corvaxis._core.Data):
    """
    A geometric graph: node positions, edges, and named node and edge features.
    """
    @typing.overload
    def __init__(self, other: Graph) -> None:
        """
        A deep copy of another graph.
        """
    @typing.overload
    def __init__(self, nodes: typing.Any, edges: typing.Any, directed: bool = False) -> None:
        """
        nodes: (N, 3) finite positions; edges: (M, 2) node indices.
        """
    def __repr__(self) -> str:
        ...
    def remove_edge_feature(self, name: str) -> None:
        ...
    def remove_node_feature(self, name: str) -> None:
        ...
    def set_edge_feature(self, name: str, values: typing.Any) -> None:
        """
        values: (M,) or (M, K), one row per edge; a 1-D array is one column.
        """
    def set_node_feature(self, name: str, values: typing.Any) -> None:
        """
        values: (N,) or (N, K), one row per node; a 1-D array is one column.
        """
    @property
    def directed(self) -> bool:
        ...
    @property
    def edge_features(self) -> dict:
        """
        A new dict of copies: name to an (M, K) array.
        """
    @property
    def edges(self) -> numpy.typing.NDArray[numpy.int64]:
        ...
    @property
    def node_features(self) -> dict:
        """
        A new dict of copies: name to an (N, K) array.
        """
    @property
    def nodes(self) -> numpy.typing.NDArray[numpy.float64]:
        ...
    @property
    def num_edges(self) -> int:
        ...
    @property
    def num_nodes(self) -> int:
        ...
