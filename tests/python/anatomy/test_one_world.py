"""One world: every way out of the package (the stores through corvaxis.world, export, export after
saving and opening, conversions with world=True, markups files, the picture's scene) shows the same
geometry, before and after a registration."""

import json

import numpy as np
import pytest

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis import export, interop, markups, render, world

trimesh = pytest.importorskip("trimesh")
pytest.importorskip("matplotlib")

Method = anatomy.ASCRegistration.RegistrationMethod
NAMES = {1: "liver", 2: "kidney", 3: "spleen", 4: "kidney"}
SPACING = (1.5, 1.0, 2.0)


def add_extras(collection, placement, kit):
    """A plane, an image, a point cloud and a graph of their own matrices, all moved by placement."""
    liver = collection.anatomical_structure("liver")
    liver.planes["cut"] = kit.move_plane(placement, [0.6, 0.0, 0.8, -12.0])
    kidney = collection.anatomical_structure("kidney")
    cloud = corvaxis.PointCloud(np.random.default_rng(5).normal(scale=4.0, size=(30, 3)))
    cloud.matrix = placement @ kit.similarity(40, (1, 0, 1), (20, 8, 14))
    kidney.pointclouds["samples"] = cloud
    spleen = collection.anatomical_structure("spleen")
    graph = corvaxis.Graph(np.array([[0.0, 0, 0], [0, 6, 0], [4, 6, 3]]), np.array([[0, 1], [1, 2]]))
    graph.matrix = placement @ kit.similarity(-70, (0, 1, 0), (30, 20, 20), 1.2)
    spleen.graphs["vessels"] = graph


def subject(label_image, organs, kit, placement):
    """The template's label map placed in the world by placement, as a collection with extras."""
    labels = label_image(organs, spacing=SPACING)
    labels.voxel_to_world = placement @ kit.similarity(20, (1, 2, 3), (-30, 5, 12)) @ np.diag([*SPACING, 1.0])
    collection = anatomy.generic_asc_from_label_map(labels, NAMES)
    collection.anatomical_structure("liver").images["labels"] = labels
    add_extras(collection, placement, kit)
    return collection


def entries(collection, stores):
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        for store in stores:
            for key in getattr(structure, store).keys():
                yield structure, store, key


def unit_plane(plane):
    plane = np.asarray(plane, dtype=float)
    return plane / np.linalg.norm(plane[:3])


def expected_views(template, placement, kit):
    """The template's geometry moved by placement, read without corvaxis.world."""
    views = {}
    for structure, store, key in entries(template, world.STORES):
        value = getattr(structure, store)[key]
        name = (structure.identifier, store, key)
        if store == "keypoints2":
            views[name] = kit.move_points(placement, value)
        elif store == "planes":
            views[name] = kit.move_plane(placement, value)
        elif store == "images":
            z, y, x = np.indices(value.get().shape)
            voxels = np.stack([x, y, z], axis=-1).reshape(-1, 3)
            views[name] = kit.move_points(placement @ value.voxel_to_world, voxels).reshape(*z.shape, 3)
        else:
            local = value.vertices if store == "meshes" else value.points if store == "pointclouds" else value.nodes
            views[name] = kit.move_points(placement @ value.matrix, local)
    return views


def read_ply(path):
    return np.asarray(trimesh.load(str(path), process=False, maintain_order=True).vertices)


def exported(collection, folder):
    export.export_collection(collection, folder)
    views = {}
    for entry in json.loads((folder / "landmarks.json").read_text())["structures"]:
        for store, name in (("keypoints2", "keypoints"), ("planes", "planes")):
            views.update({(entry["identifier"], store, key): value for key, value in entry[name].items()})
    for structure, store, key in entries(collection, ("meshes", "pointclouds")):
        views[structure.identifier, store, key] = read_ply(folder / f"{structure.identifier}_{key}.ply")
    return views


def saved_and_exported(collection, folder):
    folder.mkdir(parents=True)
    corvaxis.save(collection, folder / "subject.cvx")
    return exported(corvaxis.open(folder / "subject.cvx"), folder / "export")


def converted(collection, folder):
    convert = {"meshes": interop.mesh_to_trimesh, "pointclouds": interop.point_cloud_to_trimesh}
    return {(structure.identifier, store, key): convert[store](getattr(structure, store)[key], world=True).vertices
            for structure, store, key in entries(collection, convert)}


def through_markups(collection, folder):
    folder.mkdir(parents=True)
    views = {}
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        markups.write_markups(structure, folder / f"{index}.mrk.json")
        read = markups.read_markups(folder / f"{index}.mrk.json")
        views.update({(structure.identifier, "keypoints2", key): value for key, value in read.keypoints.items()})
        views.update({(structure.identifier, "planes", key): value for key, value in read.planes.items()})
    return views


def in_the_picture(collection, folder):
    scene = render.build_scene(collection)
    triangles, points, planes = iter(scene.triangles), iter(scene.points), iter(scene.planes)
    views = {}
    # The scene holds each structure's keypoints, planes, meshes, point clouds and graph nodes in that order.
    for structure, store, key in entries(collection, ("keypoints2", "planes", "meshes", "pointclouds", "graphs")):
        name = (structure.identifier, store, key)
        if store == "planes":
            views[name] = next(planes)[0]
        elif store == "meshes":
            faces = getattr(structure, store)[key].faces
            vertices = np.zeros((faces.max() + 1, 3))
            vertices[faces] = next(triangles)
            views[name] = vertices
        else:
            views[name] = next(points)
    return views


def stored(collection, folder):
    return {(structure.identifier, store, key): world.positions(structure, store, key)
            for structure, store, key in entries(collection, world.STORES)}


ROUTES = (stored, exported, saved_and_exported, converted, through_markups, in_the_picture)


def assert_every_route_shows(collection, expected, folder):
    for route in ROUTES:
        views = route(collection, folder / route.__name__)
        assert views, route.__name__
        for name, value in views.items():
            want = expected[name]
            if name[1] == "planes":
                value, want = unit_plane(value), unit_plane(want)
            np.testing.assert_allclose(np.reshape(value, np.shape(want)), want, rtol=0, atol=1e-6,
                                       err_msg=f"{route.__name__}: {name}")


@pytest.mark.parametrize("method, placement", [
    (Method.PointsAndPlanes, dict(degrees=35, axis=(1, 2, 2), translation=(40, -15, 30))),
    (Method.PointsRigidScaling, dict(degrees=-50, axis=(2, -1, 1), translation=(-20, 35, 10), scale=1.3)),
])
def test_every_route_shows_one_world_before_and_after_registration(tmp_path, label_image, organs, registration_kit,
                                                                  pictures, method, placement):
    kit = registration_kit
    placement = kit.similarity(**placement)
    template = subject(label_image, organs, kit, np.eye(4))
    moving = subject(label_image, organs, kit, placement)
    assert_every_route_shows(moving, expected_views(template, placement, kit), tmp_path / "before")

    registration = anatomy.ASCRegistration(template, moving)
    registration.registration_method = method
    registration.compute()
    assert registration.status == 0, registration.status_message
    assert not np.allclose(moving.anatomical_structure("liver").matrix_to_world, np.eye(4))
    assert_every_route_shows(moving, expected_views(template, np.eye(4), kit), tmp_path / "after")

    for view in ("front", "oblique"):
        render.render(template, tmp_path / "template.png", view=view)
        render.render(moving, tmp_path / "registered.png", view=view)
        alone, registered = pictures.read(tmp_path / "template.png"), pictures.read(tmp_path / "registered.png")
        assert pictures.coloured(alone).sum() > 5000
        assert np.mean(np.abs(alone - registered).max(axis=2) > 0.1) < 0.002
