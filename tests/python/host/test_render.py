
import numpy as np
import pytest

import corvaxis

pytest.importorskip("matplotlib")
from corvaxis import render  # noqa: E402

RED = (1.0, 0.0, 0.0, 1.0)
GREEN = (0.0, 0.8, 0.0, 1.0)
BLUE = (0.0, 0.0, 1.0, 1.0)
QUARTER_TURN_ABOUT_Z = ((0, -1, 0, 0), (1, 0, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1))


@pytest.fixture
def draw(tmp_path, pictures):
    def draw(collection, **options):
        path = tmp_path / "picture.png"
        render.render(collection, path, **options)
        return pictures.read(path)

    return draw


@pytest.fixture
def two_keypoints(make_collection, make_structure):
    def two_keypoints(red_at, blue_at, red_matrix=None):
        return make_collection(
            make_structure("red", keypoints={"p": red_at}, matrix=None if red_matrix is None else np.array(red_matrix)),
            make_structure("blue", keypoints={"p": blue_at}))

    return two_keypoints


@pytest.fixture
def screen_direction(pictures):
    def screen_direction(image):
        """Unit vector (right, up) from the blue pixels to the red ones."""
        offset = pictures.centroid(pictures.near(image, RED)) - pictures.centroid(pictures.near(image, BLUE))
        offset[1] = -offset[1]  # rows grow downwards
        return offset / np.linalg.norm(offset)

    return screen_direction


@pytest.fixture
def styled(fake_styling):
    fake_styling.set("red", "structure", color=RED)
    fake_styling.set("blue", "structure", color=BLUE)
    return fake_styling


# RAS: +x is the patient's right, +y anterior, +z superior.
@pytest.mark.parametrize("view, world, screen", [
    ("front", (1, 0, 0), (-1, 0)),  # facing the patient: their right on the picture's left
    ("front", (0, 0, 1), (0, 1)),
    ("front", (0, 1, 0), None),  # along the line of sight: both on one spot
    ("back", (1, 0, 0), (1, 0)),
    ("back", (0, 0, 1), (0, 1)),
    ("right", (0, 1, 0), (1, 0)),
    ("left", (0, 1, 0), (-1, 0)),
    ("top", (0, 1, 0), (0, 1)),
    ("top", (1, 0, 0), (1, 0)),
    ("bottom", (0, 1, 0), (0, 1)),
    ("bottom", (1, 0, 0), (-1, 0)),  # as axial slices are read: from the feet, the right on the left
    ((90, 0), (0, 1, 0), (1, 0)),
    ((0, 45), (0, -1, 1), None),  # looking straight down the diagonal
])
def test_views_put_world_directions_where_expected(draw, two_keypoints, screen_direction, pictures, styled, view, world, screen):
    offset = 10 * np.asarray(world, dtype=float)
    image = draw(two_keypoints(offset, -offset), view=view, size=(300, 300))
    if screen is None:
        rows, columns = np.nonzero(pictures.coloured(image))  # one spot, the nearer point on top
        assert len(rows) and np.ptp(rows) < 12 and np.ptp(columns) < 12
    else:
        assert np.allclose(screen_direction(image), screen, atol=0.05)


@pytest.mark.parametrize("view, letters", [
    ("front", "R L S I"),
    ("back", "L R S I"),
    ("right", "P A S I"),
    ("left", "A P S I"),
    ("top", "L R A P"),
    ("bottom", "R L A P"),
    ("oblique", "RP LA S I"),
    ((0, 30), "L R SA IP"),  # from behind and above: superior up, anterior up as well
])
def test_pictures_name_the_directions_at_their_edges(draw, pictures, two_keypoints, styled, view, letters):
    assert render.edge_letters(view) == dict(zip(("left", "right", "top", "bottom"), letters.split()))
    image = draw(two_keypoints((5.0, 5.0, 5.0), (-5.0, -5.0, -5.0)), view=view, size=(300, 300))
    # Grey letters about the middle of each edge of the drawing (narrower than the picture where the
    # scene is).
    lettering = ~pictures.coloured(image) & (image.max(axis=2) < 0.8)
    for rows, columns in ((slice(140, 160), slice(0, 100)), (slice(140, 160), slice(200, 300)),
                          (slice(0, 100), slice(140, 160)), (slice(200, 300), slice(140, 160))):
        assert lettering[rows, columns].any()


@pytest.mark.parametrize("red_matrix, world, view, screen", [
    (((1, 0, 0, 20), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)), (-20, 0, 0), "back", (-1, 0)),
    (((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, -20), (0, 0, 0, 1)), (0, 0, 20), "front", (0, 1)),
    (QUARTER_TURN_ABOUT_Z, (20, 0, 0), "top", (1, 0)),
])
def test_structure_frame_never_moves_world_keypoints(draw, two_keypoints, screen_direction, styled, red_matrix, world, view, screen):
    image = draw(two_keypoints(world, (0, 0, 0), red_matrix), view=view, size=(300, 300))
    assert np.allclose(screen_direction(image), screen, atol=0.05)


def test_objects_are_placed_by_their_own_matrix_alone(draw, pictures, make_collection, make_structure, cube_mesh, translation, styled):
    moved = cube_mesh(2.0)
    moved.matrix = translation(y=30)
    # The structure's quarter turn about z would take +y to -x, were it applied on top.
    collection = make_collection(make_structure("red", meshes={"m": moved}, matrix=np.array(QUARTER_TURN_ABOUT_Z)),
                                 make_structure("blue", meshes={"m": cube_mesh(2.0)}))
    image = draw(collection, view="top", size=(300, 300))
    red = (image[:, :, 0] > 0.2) & (image[:, :, 1] < 0.1) & (image[:, :, 2] < 0.1)
    blue = (image[:, :, 2] > 0.2) & (image[:, :, 0] < 0.1) & (image[:, :, 1] < 0.1)
    assert pictures.centroid(red)[1] < pictures.centroid(blue)[1] - 50  # anterior is up
    assert abs(pictures.centroid(red)[0] - pictures.centroid(blue)[0]) < 5


def test_mesh_surface_is_shaded_in_its_colour_and_alpha(draw, make_collection, make_structure, cube_mesh, fake_styling):
    fake_styling.set("organ", "mesh", "surface", color_surface=GREEN, alpha_surface=1.0)
    collection = make_collection(make_structure("organ", meshes={"surface": cube_mesh(5.0)}))
    opaque = draw(collection, view="oblique", size=(200, 200))
    # A convex surface covers each pixel twice, front and back: 1 - 0.8**2 of green.
    fake_styling.set("organ", "mesh", "surface", alpha_surface=0.2)
    faint = draw(collection, view="oblique", size=(200, 200))
    middle = opaque[100, 100]
    assert middle[1] > 0.25 and middle[0] < 0.05 and middle[2] < 0.05  # green, darkened by the light only
    # Sides at different angles to the light get different shades of the one colour.
    greens = {round(float(value), 2) for value in opaque[:, :, 1][(opaque[:, :, 0] < 0.05) & (opaque[:, :, 1] > 0.1)]}
    assert len(greens) >= 3
    assert faint[100, 100][0] > 0.5 and faint[100, 100][1] > faint[100, 100][0]  # mostly white, tinted green


@pytest.mark.parametrize("kind, key, style, hidden", [
    ("keypoint", "tip", {"visibility": False}, True),
    ("mesh", "surface", {"visibility": False}, True),
    ("mesh", "surface", {"visibility_surface": False}, True),
    ("plane", "cut", {"visibility": False}, True),
    ("pointcloud", "cloud", {"visibility": False}, True),
    ("graph", "tree", {"visibility": False}, True),
    ("graph", "tree", {"visibility_line": False, "visibility_point": False}, True),
    ("structure", "", {"visibility": False}, True),
    ("mesh", "surface", {"visibility": True}, False),
])
def test_hidden_objects_leave_no_trace(draw, pictures, make_collection, make_structure, cube_mesh, fake_styling, kind, key, style, hidden):
    objects = {
        "keypoint": {"keypoints": {"tip": [0.0, 0.0, 0.0]}},
        "mesh": {"meshes": {"surface": cube_mesh(3.0)}},
        "plane": {"planes": {"cut": [0.0, 1.0, 0.0, 0.0]}},
        "pointcloud": {"pointclouds": {"cloud": corvaxis.PointCloud(np.eye(3) * 4)}},
        "graph": {"graphs": {"tree": corvaxis.Graph(np.eye(3) * 4, np.array([[0, 1], [1, 2]]))}},
        "structure": {"keypoints": {"tip": [0.0, 0.0, 0.0]}},
    }[kind]
    # A second, always visible structure fixes the frame.
    frame = make_structure("frame", keypoints={"a": [-5.0, -5.0, -5.0], "b": [5.0, 5.0, 5.0]})
    fake_styling.set("frame", "structure", color=BLUE)
    fake_styling.set("organ", "structure", color=RED)
    fake_styling.set("organ", kind, key, **style)
    image = draw(make_collection(make_structure("organ", **objects), frame), view="front", size=(200, 200))
    reddish = (image[:, :, 0] > 0.3) & (image[:, :, 2] < 0.9 * image[:, :, 0])
    assert (not reddish.any()) == hidden
    assert pictures.near(image, BLUE).any()


@pytest.mark.parametrize("kind", ["keypoint", "pointcloud", "graph"])
def test_point_size_grows_the_drawn_points(draw, pictures, make_collection, make_structure, fake_styling, kind):
    points = np.array([[-8.0, 0, 0], [8.0, 0, 0], [0, 0, 8.0]])
    objects = {
        "keypoint": {"keypoints": {"k": points[0]}},
        "pointcloud": {"pointclouds": {"k": corvaxis.PointCloud(points)}},
        "graph": {"graphs": {"k": corvaxis.Graph(points, np.zeros((0, 2), dtype=int))}},
    }[kind]
    frame = make_structure("frame", keypoints={"a": [-10.0, 0, -10.0], "b": [10.0, 0, 10.0]})
    fake_styling.set("frame", "structure", visibility=False)
    fake_styling.set("organ", "structure", color=RED)
    areas = []
    for size in (4, 12):
        fake_styling.set("organ", kind, "k", point_size=size)
        image = draw(make_collection(make_structure("organ", **objects), frame), view="front")
        areas.append(pictures.ink(image, RED))
    assert 6 < areas[1] / areas[0] < 12  # the area grows with the square of the size


@pytest.mark.parametrize("kind", ["graph", "wireframe"])
def test_line_width_and_colour_of_edges(draw, pictures, make_collection, make_structure, cube_mesh, fake_styling, kind):
    if kind == "graph":
        objects = {"graphs": {"k": corvaxis.Graph(np.array([[-8.0, 0, -8], [8.0, 0, 8]]), np.array([[0, 1]]))}}
        fake_styling.set("organ", "graph", "k", color_line=RED, visibility_point=False)
    else:
        objects = {"meshes": {"k": cube_mesh(8.0)}}
        fake_styling.set("organ", "mesh", "k", visibility_surface=False, visibility_wireframe=True,
                         color_wireframe=RED)
    areas = []
    for width in (1, 4):
        fake_styling.set("organ", kind if kind == "graph" else "mesh", "k", line_width=width)
        image = draw(make_collection(make_structure("organ", **objects)), view="oblique")
        areas.append(pictures.ink(image, RED))
    assert areas[0] > 20 and 2.5 < areas[1] / areas[0] < 5


def test_plane_is_a_see_through_square_across_the_scene(draw, pictures, make_collection, make_structure, fake_styling):
    fake_styling.set("organ", "structure", color=BLUE)
    collection = make_collection(make_structure("organ", planes={"cut": [0.0, 0.0, 2.0, -6.0]},
                                                keypoints={"a": [-10.0, -10.0, 3.0], "b": [10.0, 10.0, 3.0]}))
    from_top = draw(collection, view="top", size=(200, 200))
    from_front = draw(collection, view="front", size=(200, 200))
    see_through = pictures.near(from_top, (0.65, 0.65, 1.0), 0.05)  # blue at the planes' default alpha
    assert see_through.sum() > 0.2 * 200 * 200 and see_through[100, 100]
    # Edge-on from the front the plane is a thin line at z = 3, the height of the keypoints.
    rows = np.nonzero((from_front[:, :, 2] > 0.9) & (from_front[:, :, 0] < 0.9))[0]
    assert rows.max() - rows.min() < 15


def test_structures_without_style_get_distinct_colours(draw, pictures, make_collection, make_structure, cube_mesh, without_styling):
    collection = make_collection(*(make_structure(name, meshes={"m": cube_mesh(2.0, (6.0 * i, 0, 0))})
                                   for i, name in enumerate(("a", "b", "c"))))
    image = draw(collection, view="front", size=(600, 200))
    columns = np.nonzero(pictures.coloured(image)[100])[0]
    runs = np.split(columns, np.nonzero(np.diff(columns) > 1)[0] + 1)
    middles = [tuple(np.round(image[100, run[len(run) // 2]], 2)) for run in runs]
    assert len(runs) == 3 and len(set(middles)) == 3


def test_panels_share_one_scale(tmp_path, pictures, make_collection, make_structure, cube_mesh, fake_styling):
    fake_styling.set("organ", "structure", color=RED)
    small = make_collection(make_structure("organ", meshes={"m": cube_mesh(2.0)}))
    large = make_collection(make_structure("organ", meshes={"m": cube_mesh(6.0)}))
    path = tmp_path / "panels.png"
    render.render_panels([small, large], path, titles=["small", "large"], view="front", size=(800, 400))
    image = pictures.read(path)
    assert image.shape[:2] == (400, 800)
    red = (image[:, :, 0] > 0.2) & (image[:, :, 1] < 0.1) & (image[:, :, 2] < 0.1)
    left, right = red[:, :400].sum(), red[:, 400:].sum()
    assert 6 < right / left < 12  # three times the width, nine times the area
    assert pictures.centroid(red[:, :400])[0] == pytest.approx(200, abs=10)
    assert pictures.centroid(red[:, 400:])[0] == pytest.approx(200, abs=10)


def test_empty_collection_draws_a_blank_picture(draw, make_collection, without_styling):
    image = draw(make_collection(), size=(64, 48))
    assert image.shape == (48, 64, 3) and np.all(image == 1.0)


@pytest.mark.parametrize("call, message", [
    (lambda c, p: render.render(c, p, view="sideways"), "unknown view 'sideways'"),
    (lambda c, p: render.render(c, p, view=(1, 2, 3)), "a view is a name or an (azimuth, elevation) pair"),
    (lambda c, p: render.render(c, p, size=(10, 600)), "size must be at least 16 x 16 pixels"),
    (lambda c, p: render.render(c, p, size="large"), "size is a (width, height) pair"),
    (lambda c, p: render.render_panels([], p), "nothing to draw"),
    (lambda c, p: render.render_panels([c, c], p, titles=["one"]), "1 titles given for 2 collections"),
])
def test_bad_arguments_are_refused_before_drawing(tmp_path, make_collection, call, message):
    path = tmp_path / "never.png"
    with pytest.raises(ValueError) as error:
        call(make_collection(), path)
    assert str(error.value).startswith(message)
    assert not path.exists()


def test_style_sheet_of_the_collection_colours_the_picture(draw, make_collection, make_structure, cube_mesh):
    import corvaxis.anatomy as anatomy

    collection = make_collection(make_structure("organ", meshes={"m": cube_mesh(5.0)}))
    sheet = anatomy.StyleSheet("test")
    sheet.append_or_modify("*", lambda declaration: declaration.__setitem__("color", np.array(GREEN)))
    options = anatomy.ASCDisplayOptions()
    options.add_style_sheet(sheet, None)
    collection.components.add(options)
    # The median steps over the faint seam between the face's two triangles.
    middle = np.median(draw(collection, view="front", size=(200, 200))[90:110, 90:110].reshape(-1, 3), axis=0)
    assert middle[1] > 0.25 and middle[0] < 0.05 and middle[2] < 0.05
