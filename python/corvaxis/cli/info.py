"""corvaxis info: tell what a file holds."""

from __future__ import annotations

import numpy as np

from corvaxis.cli.common import open_file

NAME = "info"
HELP = "Tell what a .cvx, NIfTI or NRRD file holds."
QUIET_OPTION = False


def add_arguments(parser):
    parser.add_argument("file", help="a .cvx, NIfTI (.nii, .nii.gz, .hdr/.img) or NRRD (.nrrd, .nhdr) file")


def describe_labels(images) -> list[str]:
    """Label values with their names and voxel counts, per image (layer) of a label set with several."""
    import corvaxis
    from corvaxis.segmentation import first_non_integer, label_counts, layer_labels

    layers = range(len(images)) if images.modality == corvaxis.Modality.LABEL else [images.selected_index]
    lines = []
    for layer in layers:
        pixels = images.get(layer)
        if first_non_integer(pixels) is not None:
            return []
        names, _ = layer_labels(images, layer)
        counts = label_counts(pixels)
        prefix = f"  layer {layer} labels" if len(layers) > 1 else "  labels"
        if not counts:
            lines.append(f"{prefix}: none")
            continue
        lines.append(f"{prefix}:")
        for value, count in counts.items():
            name = f" {names[value]}" if value in names else ""
            lines.append(f"    {value}{name}: {count} voxel{'s' if count != 1 else ''}")
        for value in sorted(set(names) - set(counts) - {0}):
            lines.append(f"    {value} {names[value]}: absent")
    return lines


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
            if data.modality == corvaxis.Modality.LABEL or data.get().dtype.kind in "iu":
                lines.extend(describe_labels(data))
        return lines
    return [repr(data)]


def run(arguments):
    for line in describe(open_file(arguments.file)):
        print(line)
