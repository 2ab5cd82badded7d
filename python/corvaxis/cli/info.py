"""corvaxis info: tell what a file holds."""

from __future__ import annotations

import numpy as np

from corvaxis.cli.common import open_file

NAME = "info"
HELP = "Tell what a .cvx or NIfTI file holds."
QUIET_OPTION = False


def add_arguments(parser):
    parser.add_argument("file", help="a .cvx or NIfTI (.nii, .nii.gz) file")


def describe_mesh(mesh) -> str:
    from corvaxis.measurements import mesh_figures

    figures = mesh_figures(mesh)
    return (f"{figures.vertices} vertices, {figures.triangles} triangles, volume {figures.volume:.6g} mm³, "
            f"surface area {figures.area:.6g} mm²")


def describe(data) -> list[str]:
    """Lines telling what a data object holds."""
    import corvaxis

    kind = type(data).__name__
    if hasattr(data, "anatomical_structure"):
        lines = [f"{kind} with {len(data)} anatomical structure{'s' if len(data) != 1 else ''}"]
        for index in range(len(data)):
            structure = data.anatomical_structure(index)
            lines.append(f"  {structure.identifier}:")
            stores = (("keypoints", structure.keypoints2), ("planes", structure.planes),
                      ("meshes", structure.meshes), ("point clouds", structure.pointclouds),
                      ("graphs", structure.graphs), ("images", structure.images))
            for label, store in stores:
                keys = list(store.keys())
                if keys and label == "meshes":
                    lines.append("    meshes:")
                    lines.extend(f"      {key}: {describe_mesh(store[key])}" for key in keys)
                elif keys:
                    lines.append(f"    {label}: {', '.join(keys)}")
            if not np.allclose(structure.matrix_to_world, np.eye(4)):
                lines.append(f"    matrix_to_world: translation {np.round(structure.matrix_to_world[:3, 3], 3).tolist()}")
        return lines
    if isinstance(data, corvaxis.SharedImageSet):
        lines = [repr(data)]
        spacing = data.spacing
        if spacing is not None:
            lines.append(f"  spacing: {np.round(spacing, 6).tolist()}")
            if data.modality == corvaxis.Modality.LABEL:
                values, counts = np.unique(data.get(), return_counts=True)
                listed = ", ".join(f"{value} ({count} voxels)" for value, count in zip(values.tolist(), counts.tolist())
                                   if value != 0)
                lines.append(f"  labels: {listed or 'none'}")
        return lines
    return [repr(data)]


def run(arguments):
    for line in describe(open_file(arguments.file)):
        print(line)
