"""Pictures of anatomical structure collections, drawn off-screen with matplotlib.

``render(collection, "picture.png")`` draws every mesh (shaded surface, optional wireframe),
keypoint, plane (a square patch), point cloud and graph of a collection in world coordinates
(``corvaxis.world``: keypoints and planes as stored, objects placed by their own matrix),
coloured and shown as the collection's styling resolves for each object. ``render_panels``
draws several collections side by side on one scale, for before/after pictures or shape modes.

The camera is orthographic and the world is read as RAS (+x the patient's right, +y anterior,
+z superior). The views are named as radiology and 3D Slicer name them, by where the camera
stands: ``front`` (anterior) looks from +y towards -y with the patient's right on the picture's
left and superior up; ``back`` from -y with the right on the right; ``left`` and ``right`` from
-x and +x with superior up; ``top`` from +z with anterior up and the right on the right;
``bottom`` from -z with anterior up and the right on the left. A view is a name from ``VIEWS`` or
an ``(azimuth, elevation)`` pair in degrees: (0, 0) is the back view, the azimuth turns the
camera about z (90 is the right view, 180 the front), the elevation raises it towards +z.
Letters at the edges of every picture that shows something name the directions there (R/L,
A/P, S/I; two letters where a direction lies between two axes).
"""

from __future__ import annotations

import dataclasses
import importlib
import math
import os

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Literal, cast

import numpy as np

from corvaxis import world

if TYPE_CHECKING:
    from corvaxis.anatomy import AnatomicalStructureCollection

# A view name from VIEWS or an (azimuth, elevation) pair in degrees.
ViewName = Literal["front", "back", "right", "left", "top", "bottom", "oblique"]
View = ViewName | tuple[float, float]

VIEWS: dict[ViewName, tuple[float, float]] = {
    "front": (180.0, 0.0),
    "back": (0.0, 0.0),
    "right": (90.0, 0.0),
    "left": (-90.0, 0.0),
    "top": (0.0, 90.0),
    "bottom": (180.0, -90.0),
    "oblique": (150.0, 20.0),  # from the front, the patient's right and above
}

# The anatomical names of the world's +x, +y, +z and -x, -y, -z directions.
DIRECTION_LETTERS = (("R", "A", "S"), ("L", "P", "I"))
# A direction gets the letter of every axis along which it runs at least this much.
LETTER_SHARE = 0.38

KINDS = ("structure", "keypoint", "plane", "image", "mesh", "pointcloud", "graph")

# Structures without a colour of their own get one of these, by their position in the collection.
PALETTE = (
    (0.84, 0.15, 0.16), (0.12, 0.47, 0.71), (0.17, 0.63, 0.17), (1.00, 0.50, 0.05),
    (0.58, 0.40, 0.74), (0.55, 0.34, 0.29), (0.89, 0.47, 0.76), (0.09, 0.75, 0.81),
)

DEFAULT_STYLE = {
    "visibility": True,
    "alpha": 1.0,
    "point_size": 6.0,
    "line_width": 1.5,
    "visibility_surface": True,
    "visibility_wireframe": False,
    "visibility_line": True,
    "visibility_point": True,
}
PLANE_TILES = 12
# Planes hide what lies behind them unless see-through.
KIND_DEFAULTS = {"plane": {"alpha": 0.35}}
AMBIENT = 0.35
# Light from over the viewer's left shoulder, in view coordinates (right, up, towards the viewer).
LIGHT = np.array([-0.4, 0.5, 1.0]) / np.linalg.norm([-0.4, 0.5, 1.0])


def view_basis(view: View) -> np.ndarray:
    """Rows right, up and towards-the-viewer of the camera for a view name or (azimuth, elevation)."""
    if isinstance(view, str):
        if view not in VIEWS:
            raise ValueError(f"unknown view '{view}', expected one of {', '.join(VIEWS)} or (azimuth, elevation)")
        view = VIEWS[view]
    try:
        azimuth, elevation = (math.radians(float(angle)) for angle in view)
    except (TypeError, ValueError):
        raise ValueError(f"a view is a name or an (azimuth, elevation) pair in degrees, got {view!r}") from None
    ca, sa, ce, se = math.cos(azimuth), math.sin(azimuth), math.cos(elevation), math.sin(elevation)
    right = np.array([ca, sa, 0.0])
    front = np.array([sa, -ca, 0.0])  # from the scene towards the viewer at elevation 0
    toward = ce * front + se * np.array([0.0, 0.0, 1.0])
    up = np.cross(toward, right)
    return np.array([right, up, toward])


@dataclasses.dataclass
class Scene:
    """What one collection puts on the picture, in world coordinates."""

    triangles: list = dataclasses.field(default_factory=list)  # (K, 3, 3) arrays
    triangle_colors: list = dataclasses.field(default_factory=list)  # (K, 4) RGBA before shading
    # Per triangle: +1 or -1 when it bounds an opaque closed surface (outwards with its vertex order or
    # against it), so that it is hidden when facing away; 0 when it is always drawn.
    triangle_facing: list = dataclasses.field(default_factory=list)
    edges: list = dataclasses.field(default_factory=list)  # (L, 2, 3) arrays
    edge_styles: list = dataclasses.field(default_factory=list)  # (rgba, width) per array
    points: list = dataclasses.field(default_factory=list)  # (P, 3) arrays
    point_styles: list = dataclasses.field(default_factory=list)  # (rgba, size) per array
    planes: list = dataclasses.field(default_factory=list)  # (world plane (4,), rgba)
    legend: list = dataclasses.field(default_factory=list)  # (identifier, rgb)

    def extent_points(self) -> np.ndarray:
        parts = [t.reshape(-1, 3) for t in self.triangles] + [e.reshape(-1, 3) for e in self.edges] + self.points
        return np.concatenate(parts) if parts else np.zeros((0, 3))


def _style_resolver():
    """``corvaxis.styling.resolve`` when the styling module is present, else None."""
    try:
        styling = importlib.import_module("corvaxis.styling")
    except ModuleNotFoundError as error:
        if error.name != "corvaxis.styling":
            raise
        return None
    return getattr(styling, "resolve", None)


def _rgba(value, alpha) -> tuple:
    from matplotlib.colors import to_rgba

    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (list, tuple)) and len(value) == 4:
        return tuple(float(c) for c in value[:3]) + (float(value[3]) * float(alpha),)
    return to_rgba(value, float(alpha))


def _first(style, *names, default=None):
    """The first style value present among names, from specific to general."""
    for name in names:
        value = style.get(name)
        if value is not None:
            return value
    return default


class _Styles:
    def __init__(self, collection):
        self.collection = collection
        self.resolve = _style_resolver()

    def __call__(self, identifier, kind, key, fallback_color) -> dict:
        style = dict(DEFAULT_STYLE, **KIND_DEFAULTS.get(kind, {}), color=fallback_color)
        if self.resolve is not None:
            resolved = self.resolve(self.collection, identifier, kind, key) or {}
            style.update({name: value for name, value in resolved.items() if value is not None})
        return style


def build_scene(collection: AnatomicalStructureCollection) -> Scene:
    """Collect the visible objects of a collection, placed in world coordinates and styled."""
    scene = Scene()
    styles = _Styles(collection)
    for index in range(len(collection)):
        structure = collection.anatomical_structure(index)
        identifier = structure.identifier
        own = styles(identifier, "structure", "", PALETTE[index % len(PALETTE)])
        if not own["visibility"]:
            continue
        color = own["color"]
        scene.legend.append((identifier, _rgba(color, 1.0)[:3]))
        _add_keypoints(scene, styles, structure, identifier, color)
        _add_planes(scene, styles, structure, identifier, color)
        _add_meshes(scene, styles, structure, identifier, color)
        _add_point_clouds(scene, styles, structure, identifier, color)
        _add_graphs(scene, styles, structure, identifier, color)
    return scene


def _add_keypoints(scene, styles, structure, identifier, color):
    for key in structure.keypoints2.keys():
        style = styles(identifier, "keypoint", key, color)
        if style["visibility"]:
            scene.points.append(world.positions(structure, "keypoints2", key).reshape(1, 3))
            scene.point_styles.append((_rgba(style["color"], style["alpha"]), float(style["point_size"])))


def _add_planes(scene, styles, structure, identifier, color):
    for key in structure.planes.keys():
        style = styles(identifier, "plane", key, color)
        if style["visibility"]:
            scene.planes.append((world.positions(structure, "planes", key), _rgba(style["color"], style["alpha"])))


def _add_meshes(scene, styles, structure, identifier, color):
    store = structure.meshes
    for key in store.keys():
        style = styles(identifier, "mesh", key, color)
        if not style["visibility"]:
            continue
        mesh = store[key]
        triangles = world.positions(mesh)[np.asarray(mesh.faces)]
        if _first(style, "visibility_surface", default=True) and len(triangles):
            rgba = _rgba(_first(style, "color_surface", "color"), _first(style, "alpha_surface", "alpha"))
            scene.triangles.append(triangles)
            scene.triangle_colors.append(np.tile(rgba, (len(triangles), 1)))
            facing = _outward_sign(np.asarray(mesh.faces), triangles) if rgba[3] >= 1.0 else 0
            scene.triangle_facing.append(np.full(len(triangles), facing))
        if _first(style, "visibility_wireframe", default=False) and len(triangles):
            base = _rgba(_first(style, "color_surface", "color"), 1.0)
            darker = tuple(0.4 * c for c in base[:3])
            rgba = _rgba(_first(style, "color_wireframe", "color_line", default=darker),
                         _first(style, "alpha_wireframe", "alpha_line", "alpha"))
            edges = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]])
            scene.edges.append(edges)
            scene.edge_styles.append((rgba, float(_first(style, "line_width", default=1.0))))


def _add_point_clouds(scene, styles, structure, identifier, color):
    for key in structure.pointclouds.keys():
        style = styles(identifier, "pointcloud", key, color)
        if style["visibility"]:
            scene.points.append(world.positions(structure, "pointclouds", key))
            scene.point_styles.append((_rgba(style["color"], style["alpha"]), float(style["point_size"])))


def _add_graphs(scene, styles, structure, identifier, color):
    store = structure.graphs
    for key in store.keys():
        style = styles(identifier, "graph", key, color)
        if not style["visibility"]:
            continue
        graph = store[key]
        nodes = world.positions(graph)
        if _first(style, "visibility_line", default=True) and graph.num_edges:
            rgba = _rgba(_first(style, "color_line", "color"), _first(style, "alpha_line", "alpha"))
            scene.edges.append(nodes[np.asarray(graph.edges)])
            scene.edge_styles.append((rgba, float(style["line_width"])))
        if _first(style, "visibility_point", default=True) and graph.num_nodes:
            rgba = _rgba(_first(style, "color_point", "color"), _first(style, "alpha_point", "alpha"))
            scene.points.append(nodes)
            scene.point_styles.append((rgba, float(style["point_size"])))


def _plane_square(plane, center, half_size) -> np.ndarray:
    """Corners of a square on the plane, centred at the point of the plane closest to center."""
    normal, offset = plane[:3], plane[3]
    length = np.linalg.norm(normal)
    if length == 0:
        return np.zeros((0, 3))
    normal, offset = normal / length, offset / length
    middle = center - (normal @ center + offset) * normal
    helper = np.eye(3)[np.argmin(np.abs(normal))]
    first = np.cross(normal, helper)
    first /= np.linalg.norm(first)
    second = np.cross(normal, first)
    return np.array([middle + half_size * (sx * first + sy * second) for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))])


def _outward_sign(faces, triangles) -> int:
    """+1 or -1 when the faces close a surface with one consistent orientation, else 0.

    Painting far-to-near by triangle centres misorders large neighbouring faces; hiding the back
    faces of closed surfaces removes most such faults.
    """
    count = int(faces.max()) + 1 if len(faces) else 0
    directed = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]).astype(np.int64)
    codes = directed[:, 0] * count + directed[:, 1]
    reversed_codes = directed[:, 1] * count + directed[:, 0]
    unique = np.unique(codes)
    if len(unique) != len(codes) or not np.array_equal(unique, np.unique(reversed_codes)):
        return 0
    volume = np.einsum("ij,ij->i", triangles[:, 0], np.cross(triangles[:, 1], triangles[:, 2])).sum()
    return 0 if volume == 0 else int(np.sign(volume))


def _tiles(square, count):
    """The square (corners in order) cut into count x count quadrilaterals."""
    steps = np.linspace(0.0, 1.0, count + 1)
    first, second = square[1] - square[0], square[3] - square[0]
    return [np.array([square[0] + a * first + b * second for a, b in ((u0, v0), (u1, v0), (u1, v1), (u0, v1))])
            for u0, u1 in zip(steps[:-1], steps[1:]) for v0, v1 in zip(steps[:-1], steps[1:])]


def _scene_frame(scenes):
    """Centre and half-size of the box that holds every scene's geometry (planes excluded)."""
    points = np.concatenate([scene.extent_points() for scene in scenes])
    if len(points) == 0:
        return np.zeros(3), 50.0
    low, high = points.min(axis=0), points.max(axis=0)
    return (low + high) / 2, max(float(np.max(high - low)) / 2, 1.0)


def _view_limits(scenes, basis, center, half_size):
    """(left, right, bottom, top) in view coordinates holding every scene's geometry, planes included."""
    parts = [(scene.extent_points() - center) @ basis.T for scene in scenes]
    for scene in scenes:
        parts += [(_plane_square(plane, center, half_size) - center) @ basis.T for plane, _ in scene.planes]
    points = np.concatenate([np.zeros((0, 3))] + parts)[:, :2]
    if len(points) == 0:
        return -half_size, half_size, -half_size, half_size
    low, high = points.min(axis=0), points.max(axis=0)
    # Room for the point markers at the border, and a floor for a scene that is one spot.
    pad = max(0.06 * float(np.max(high - low)), 0.05 * half_size)
    return low[0] - pad, high[0] + pad, low[1] - pad, high[1] + pad


def _shade(triangles, colors, basis) -> np.ndarray:
    normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0]) @ basis.T
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    normals = np.divide(normals, lengths, out=np.zeros_like(normals), where=lengths > 0)
    # Two-sided lighting: a face is lit whichever way its vertices run.
    intensity = AMBIENT + (1 - AMBIENT) * np.abs(normals @ LIGHT)
    shaded = colors.copy()
    shaded[:, :3] *= intensity[:, None]
    return shaded


def _draw_scene(ax, scene, basis, center, half_size, limits, legend):
    from matplotlib.collections import LineCollection, PolyCollection

    # Every face is a quadrilateral (a triangle repeats its last corner), so that all of them go
    # to matplotlib as arrays: per-face lists cost a conversion per face, seconds for a few meshes.
    polygons: list[np.ndarray] = []
    colors: list[np.ndarray] = []
    edge_colors: list[np.ndarray] = []
    depths: list[np.ndarray] = []
    if scene.triangles:
        triangles = np.concatenate(scene.triangles)
        facing = np.concatenate(scene.triangle_facing)
        normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0]) @ basis[2]
        shown = facing * normals >= 0
        triangles = triangles[shown]
        views = (triangles - center) @ basis.T
        polygons.append(views[:, [0, 1, 2, 2], :2])
        shaded = np.asarray(_shade(triangles, np.concatenate(scene.triangle_colors)[shown], basis), dtype=float)
        colors.append(shaded)
        edge_colors.append(shaded)  # edges in the face colour close the seams between neighbours
        depths.append(views[:, :, 2].mean(axis=1))
    for plane, rgba in scene.planes:
        square = _plane_square(plane, center, half_size)
        if len(square):
            # In small tiles, so that painting by depth puts each part of the plane in front of or
            # behind the meshes correctly; see-through tiles get no edges, which would show as seams.
            views = (np.array(_tiles(square, PLANE_TILES)) - center) @ basis.T
            polygons.append(views[:, :, :2])
            colors.append(np.tile(np.asarray(rgba, dtype=float), (len(views), 1)))
            edge = rgba if rgba[3] >= 1.0 else (0.0, 0.0, 0.0, 0.0)
            edge_colors.append(np.tile(np.asarray(edge, dtype=float), (len(views), 1)))
            depths.append(views[:, :, 2].mean(axis=1))
    outlines, outline_colors = [], []
    for plane, rgba in scene.planes:
        square = (_plane_square(plane, center, half_size) - center) @ basis.T
        if len(square):
            # The border shows where the plane is, also when it is seen edge-on.
            outlines.append(square[[0, 1, 2, 3, 0], :2])
            outline_colors.append(rgba[:3] + (min(1.0, 2 * rgba[3]),))
    if outlines:
        ax.add_collection(LineCollection(outlines, colors=outline_colors, linewidths=1.0, zorder=1.5))
    if polygons:
        order = np.argsort(np.concatenate(depths), kind="stable")  # far to near: the nearer face is painted last
        # One (N, 4, 2) array, which matplotlib takes on its fast path, though typed as a sequence.
        faces = cast("Sequence[np.ndarray]", np.concatenate(polygons)[order])
        ax.add_collection(PolyCollection(faces, facecolors=np.concatenate(colors)[order],
                                         edgecolors=np.concatenate(edge_colors)[order], linewidths=0.3, zorder=1))
    for edges, (rgba, width) in zip(scene.edges, scene.edge_styles):
        view = (edges - center) @ basis.T
        ax.add_collection(LineCollection(view[:, :, :2], colors=[rgba], linewidths=width, zorder=2))
    for points, (rgba, size) in zip(scene.points, scene.point_styles):
        view = (points - center) @ basis.T
        ax.scatter(view[:, 0], view[:, 1], s=size**2, color=[rgba], edgecolors="none", zorder=3)
    ax.set_xlim(limits[0], limits[1])
    ax.set_ylim(limits[2], limits[3])
    ax.set_aspect("equal")
    ax.set_axis_off()
    if legend and scene.legend:
        from matplotlib.patches import Patch

        ax.legend(handles=[Patch(color=rgb, label=name) for name, rgb in scene.legend], loc="lower left",
                  fontsize="small", frameon=False)


def _direction_letters(direction) -> str:
    """The letters of a world direction (R/L, A/P, S/I), of the axis it runs most along first."""
    order = np.argsort(-np.abs(direction), kind="stable")
    return "".join(DIRECTION_LETTERS[0 if direction[axis] > 0 else 1][axis] for axis in order
                   if abs(direction[axis]) >= LETTER_SHARE)


def edge_letters(view: View) -> dict[str, str]:
    """The letters a picture in this view shows at its edges, by edge: for the front view
    ``{"left": "R", "right": "L", "top": "S", "bottom": "I"}``."""
    right, up, _ = view_basis(view)
    return {"left": _direction_letters(-right), "right": _direction_letters(right),
            "top": _direction_letters(up), "bottom": _direction_letters(-up)}


# Where each edge's letters go, in axes coordinates, and how they are aligned there.
_EDGE_PLACES = {"left": (0.01, 0.5, "left", "center"), "right": (0.99, 0.5, "right", "center"),
                "top": (0.5, 0.99, "center", "top"), "bottom": (0.5, 0.01, "center", "bottom")}


def _draw_orientation(ax, view):
    """The edge letters at the edges of the drawing, which keep clear of the panels' titles and of
    the neighbouring panels."""
    for edge, letters in edge_letters(view).items():
        x, y, horizontal, vertical = _EDGE_PLACES[edge]
        ax.text(x, y, letters, transform=ax.transAxes, ha=horizontal, va=vertical, color="0.4",
                fontsize="small", fontweight="bold", zorder=4)


def _size_inches(size):
    try:
        width, height = (int(value) for value in size)
    except (TypeError, ValueError):
        raise ValueError(f"size is a (width, height) pair in pixels, got {size!r}") from None
    if width < 16 or height < 16:
        raise ValueError(f"size must be at least 16 x 16 pixels, got {width} x {height}")
    return width, height


def render_panels(collections: Iterable[AnatomicalStructureCollection], path: str | os.PathLike[str], *,
                  titles: Sequence[str] | None = None, view: View = "oblique", size: tuple[int, int] = (1200, 500),
                  title: str | None = None, legend: bool = False) -> None:
    """Draw several collections side by side on one scale into a PNG file.

    Every panel uses the same view and the same frame, so that sizes and positions compare
    across panels (before/after a registration, shape modes at -2 sigma, mean, +2 sigma).
    ``titles`` names the panels; ``title`` goes above them all.
    """
    # A bare Figure draws with Agg and leaves pyplot and the user's backend alone.
    from matplotlib.figure import Figure

    collections = list(collections)
    if not collections:
        raise ValueError("nothing to draw: no collection given")
    if titles is not None and len(titles) != len(collections):
        raise ValueError(f"{len(titles)} titles given for {len(collections)} collections")
    basis = view_basis(view)
    width, height = _size_inches(size)
    scenes = [build_scene(collection) for collection in collections]
    center, half_size = _scene_frame(scenes)
    limits = _view_limits(scenes, basis, center, half_size)
    dpi = 100
    figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, facecolor="white")
    top = 1.0
    if title:
        figure.suptitle(title)
        top = 0.9
    panel_width = 1.0 / len(scenes)
    for index, scene in enumerate(scenes):
        panel_top = top - (0.06 if titles else 0.0)
        ax = figure.add_axes((index * panel_width, 0.0, panel_width, panel_top))
        _draw_scene(ax, scene, basis, center, half_size, limits, legend)
        if len(scene.extent_points()) or scene.planes:
            _draw_orientation(ax, view)
        if titles:
            ax.set_title(titles[index])
    figure.savefig(os.fspath(path), dpi=dpi, facecolor="white")


def render(collection: AnatomicalStructureCollection, path: str | os.PathLike[str], *, view: View = "oblique",
           size: tuple[int, int] = (800, 600), title: str | None = None, legend: bool = False) -> None:
    """Draw one collection into a PNG file; see the module documentation for views and styles."""
    render_panels([collection], path, view=view, size=size, title=title, legend=legend)
