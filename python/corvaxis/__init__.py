"""corvaxis: scripting 3-D anatomy work in Python."""

from corvaxis._core import (
    Algorithm,
    Data,
    DataComponentBase,
    DataComponentList,
    LabelDataComponent,
    Mesh,
    Modality,
    PointCloud,
    Properties,
    SharedImageSet,
)
from corvaxis import log
from corvaxis.graph import Graph

__all__ = [
    "Algorithm",
    "Data",
    "DataComponentBase",
    "DataComponentList",
    "Graph",
    "LabelDataComponent",
    "Mesh",
    "Modality",
    "PointCloud",
    "Properties",
    "SharedImageSet",
    "log",
]
