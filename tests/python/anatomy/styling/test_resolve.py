"""corvaxis.styling.resolve: the cascade of a collection's display options from Python."""

import numpy as np
import pytest

import corvaxis.anatomy as anatomy
from corvaxis import styling


@pytest.mark.parametrize(
    "identifier, kind, key, expected",
    [
        ("liver", "mesh", "surface", {"color": [1, 0, 0], "visibility": True, "line_width": 1.0}),
        ("spleen", "keypoint", "tip", {"color": [128 / 255] * 3, "visibility": True, "point_size": 4}),
        ("liver", "keypoint", "tip", {"color": [128 / 255] * 3, "point_size": 4}),
        ("liver", "structure", "", {"color": [128 / 255] * 3, "visibility": True}),
        ("absent", "graph", "g", {"color": [128 / 255] * 3, "visibility": True}),
    ],
)
def test_effective_values_from_enabled_sheets(styled_collection, identifier, kind, key, expected):
    resolved = styling.resolve(styled_collection, identifier, kind, key)
    for name, value in expected.items():
        np.testing.assert_allclose(resolved[name], value)
    assert "line_width" not in resolved or kind == "mesh"
    # The general colour reaches the specific ones.
    np.testing.assert_allclose(resolved["color_surface"], resolved["color"])


def test_sheet_changes_are_seen_at_once(styled_collection):
    options = styled_collection.components.asc_display_options
    assert styling.resolve(styled_collection, "liver", "mesh", "surface")["line_width"] == 1.0
    options.get_or_append_style_sheet("hidden", None).enabled = True
    resolved = styling.resolve(styled_collection, "liver", "mesh", "surface")
    # The later sheet wins at equal specificity; the more specific "mesh" rule still wins over "*".
    assert (resolved["visibility"], resolved["line_width"]) == (False, 1.0)
    options.remove_style_sheets_by_name("hidden")
    assert styling.resolve(styled_collection, "liver", "mesh", "surface")["visibility"] is True


def test_without_display_options_and_bad_kinds(collection):
    assert styling.resolve(collection, "liver", "mesh", "surface") == {}
    with pytest.raises(ValueError, match="kind must be one of"):
        styling.resolve(collection, "liver", "meshes", "surface")
    with pytest.raises(TypeError):
        styling.resolve(anatomy.GenericAnatomicalStructure("x"), "liver", "mesh", "surface")
