"""Shared factories of the styling tests: sheets with rules, and a recorder of host log records."""

import pytest

import corvaxis.log
from corvaxis.anatomy import Selector, StyleSheet


def set_values(**values):
    """A declarations callback that sets the given values."""

    def callback(block):
        for name, value in values.items():
            block[name] = value

    return callback


def make_sheet(name, rules=(), enabled=True):
    """A sheet with (selector text, {name: value}) rules, in order."""
    sheet = StyleSheet(name=name)
    for selector, values in rules:
        assert sheet.append_or_modify(selector, set_values(**values))
    sheet.enabled = enabled
    return sheet


@pytest.fixture
def setter():
    return set_values


@pytest.fixture
def sheet_factory():
    return make_sheet


@pytest.fixture
def style_log():
    """A function giving the (level, message) records of the style sheets written so far in the test."""
    with corvaxis.log.capture() as records:
        yield lambda: [(level, message) for level, category, message in records if category == "AnatomyPlugin.StyleSheet"]


@pytest.fixture
def parse():
    return Selector.parse


def make_collection():
    """liver (keypoint tip, mesh surface) and spleen (keypoint tip), without display options."""
    import corvaxis
    import corvaxis.anatomy as anatomy

    collection = anatomy.GenericASC()
    for identifier in ("liver", "spleen"):
        structure = anatomy.GenericAnatomicalStructure(identifier)
        structure.keypoints2["tip"] = [1.0, 2.0, 3.0]
        collection.add(structure)
    mesh = corvaxis.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
    collection.anatomical_structure("liver").meshes["surface"] = mesh
    return collection


@pytest.fixture
def collection():
    return make_collection()


@pytest.fixture
def styled_collection(collection):
    """The collection with display options holding three sheets, the last one disabled."""
    import corvaxis.anatomy as anatomy

    options = anatomy.ASCDisplayOptions()
    options.add_style_sheet(make_sheet("base", [("*", {"color": "#808080", "visibility": True}),
                                                 ("mesh", {"line_width": 1.0})]), None)
    options.add_style_sheet(make_sheet("organs", [("mesh#liver", {"color": [1.0, 0.0, 0.0]}),
                                                   ("keypoint[key=tip]", {"point_size": 4})]), None)
    options.add_style_sheet(make_sheet("hidden", [("*", {"visibility": False, "line_width": 9.0})],
                                       enabled=False), None)
    collection.components.add(options)
    return collection
