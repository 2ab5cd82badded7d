"""The main job: build a small anatomy collection, work with it as a script would, and show it.

Run with `make demo`.
"""

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy


def build_collection():
    asc = anatomy.GenericASC()

    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.keypoints2 = {"tip": [10.0, 42.0, -7.5], "hilum": [4.0, 30.0, -2.0]}
    liver.planes["cut"] = [0.0, 0.0, 1.0, -5.0]
    vertices = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
    faces = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
    liver.meshes["surface"] = corvaxis.Mesh(vertices, faces)
    liver.matrix_to_world = np.array(
        [[1, 0, 0, 100], [0, 1, 0, -20], [0, 0, 1, 5], [0, 0, 0, 1]], dtype=float
    )
    asc.add(liver)

    kidney = anatomy.GenericAnatomicalStructure("kidney")
    kidney.pointclouds["samples"] = corvaxis.PointCloud(np.random.default_rng(7).normal(size=(50, 3)))
    nodes = np.array([[0, 0, 0], [0, 0, 10], [5, 0, 15]], dtype=float)
    vessels = corvaxis.Graph(nodes, np.array([[0, 1], [1, 2]]), directed=True)
    kidney.graphs["vessels"] = vessels
    labels = np.zeros((4, 8, 8), dtype=np.uint8)
    labels[1:3, 2:6, 2:6] = 1
    kidney.images["label"] = corvaxis.SharedImageSet(labels, spacing=(0.5, 0.5, 2.0), modality=corvaxis.Modality.LABEL)
    asc.add(kidney)
    return asc


def main():
    asc = build_collection()
    print(asc)

    # What the module's first example does with a collection.
    num_structures = asc.num_anatomical_structures()
    print(f"Found {num_structures} anatomical structures")
    liver = asc.anatomical_structure("liver")
    print(f"Liver identifier: {liver.identifier}")
    keypoints = liver.keypoints2
    print(f"Available keypoints: {keypoints.keys()}")
    tip_point = keypoints["tip"]
    meshes = liver.meshes
    if "surface" in meshes:
        surface_mesh = meshes["surface"]
        print(f"Surface mesh: {surface_mesh}")

    world_to_local = liver.matrix_from_world
    local_to_world = liver.matrix_to_world
    world_tip = local_to_world @ np.append(tip_point, 1.0)
    print(f"Tip in world coordinates: {world_tip[:3]}")
    print(f"World origin in liver coordinates: {(world_to_local @ [0, 0, 0, 1])[:3]}")

    kidney = asc.anatomical_structure("kidney")
    print(f"Kidney stores: images={kidney.images.keys()} pointclouds={kidney.pointclouds.keys()} "
          f"graphs={kidney.graphs.keys()}")

    print(f"Well-known key for the left pedicle: {corvaxis.keys.spine.vertebra.left_pedicle.key}")


if __name__ == "__main__":
    main()
