"""ASCDisplayOptions from Python: members, the component list property and add, sheet references,
files, and the lifetimes of references into lists."""

import gc

import pytest

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis.anatomy import ASCDisplayOptions, StyleSheet


def sheets_of(options):
    """(name, enabled, size) of every sheet, read through get_or_append_style_sheet by name."""
    return repr([options.get_or_append_style_sheet(name, None) for name in ("base", "organs", "hidden")])


def test_class_and_members():
    assert ASCDisplayOptions.__bases__ == (corvaxis.DataComponentBase,)
    assert ASCDisplayOptions.__doc__ == "DataComponent to store AnatomicalStructureCollection-specific rendering options."
    members = [name for name in vars(ASCDisplayOptions) if not name.startswith("_") or name == "__init__"]
    assert members[:4] == ["__init__", "add_style_sheet", "get_or_append_style_sheet", "remove_style_sheets_by_name"]
    options = ASCDisplayOptions()
    assert options.id == "ASCDisplayOptions"
    with pytest.raises(TypeError):
        options.get_or_append_style_sheet("a")  # the optional text is passed explicitly


def test_parameters_read_and_written_as_p_attributes():
    options = ASCDisplayOptions()
    assert (options.p_mesh_render_mode, options.p_keypoint_size, options.p_label_size) == (0, 5.0, 12)
    options.p_graph_render_mode = 2
    assert options.p_graph_render_mode == 2
    with pytest.raises(TypeError, match="list of blocks"):
        options.p_style_sheets


def test_sheet_methods():
    options = ASCDisplayOptions()
    sheet = options.get_or_append_style_sheet("a", "mesh")
    assert repr(sheet) == "<StyleSheet, name='a', enabled='true', size='1'>"
    sheet.enabled = False
    assert options.get_or_append_style_sheet("a", None).enabled is False

    python_sheet = StyleSheet(name="b")
    options.add_style_sheet(python_sheet, "graph")
    python_sheet.name = "changed"
    assert repr(options.get_or_append_style_sheet("b", None)) == "<StyleSheet, name='b', enabled='true', size='1'>"
    options.add_style_sheet(StyleSheet(name="a"), None)
    options.remove_style_sheets_by_name("a")
    assert repr(options.get_or_append_style_sheet("a", None)).endswith("size='0'>")


def test_component_list_property_and_add(collection):
    components = collection.components
    assert components.asc_display_options is None
    options = ASCDisplayOptions()
    options.get_or_append_style_sheet("a", "mesh")
    added = components.add(options)
    assert isinstance(added, ASCDisplayOptions) and added is not options
    assert components.asc_display_options is added
    assert repr(added.get_or_append_style_sheet("a", None)).endswith("size='1'>")

    other = ASCDisplayOptions()
    other.p_label_size = 30
    assert components.add(other) is added
    assert len(components) == 1
    assert added.p_label_size == 30
    assert repr(added.get_or_append_style_sheet("a", None)).endswith("size='0'>")


def test_derived_display_options_are_not_the_property(collection):
    class Derived(ASCDisplayOptions):
        pass

    collection.components.add(Derived())
    # The list holds a copy of the exact host type, so Python subclasses do not survive the copy.
    assert type(collection.components.asc_display_options) is ASCDisplayOptions


def test_sheet_reference_refused_after_the_list_changed():
    options = ASCDisplayOptions()
    sheet = options.get_or_append_style_sheet("a", None)
    sheet.name = "renamed"
    assert repr(options.get_or_append_style_sheet("renamed", None)).startswith("<StyleSheet, name='renamed'")
    for _ in range(20):
        options.add_style_sheet(StyleSheet(name="x"), None)  # the list may move its elements
    with pytest.raises(RuntimeError, match="get it again with get_or_append_style_sheet"):
        sheet.enabled
    with pytest.raises(RuntimeError):
        sheet.append_or_modify("mesh", lambda block: None)
    again = options.get_or_append_style_sheet("renamed", None)
    assert again.name == "renamed"
    options.remove_style_sheets_by_name("renamed")
    with pytest.raises(RuntimeError):
        repr(again)


def test_sheet_reference_keeps_the_display_options_alive():
    options = ASCDisplayOptions()
    sheet = options.get_or_append_style_sheet("a", None)
    del options
    gc.collect()
    sheet.append_or_modify("mesh", lambda block: block.__setitem__("alpha", 0.5))
    assert repr(sheet).endswith("size='1'>")


def test_display_options_from_a_list_outlive_the_collection_handle(collection):
    options = collection.components.add(ASCDisplayOptions())
    sheet = options.get_or_append_style_sheet("a", None)
    del collection
    gc.collect()
    sheet.enabled = False
    assert options.get_or_append_style_sheet("a", None).enabled is False


def test_sheet_reference_refused_after_the_list_was_loaded_again(collection):
    options = collection.components.add(ASCDisplayOptions())
    sheet = options.get_or_append_style_sheet("a", None)
    collection.components.add(ASCDisplayOptions())  # takes over the values: the sheets are reloaded
    with pytest.raises(RuntimeError):
        sheet.name


def test_files_round_trip_the_display_options(styled_collection, tmp_path):
    path = tmp_path / "styled.cvx"
    corvaxis.save(styled_collection, path)
    loaded = corvaxis.open(path)
    options = loaded.components.asc_display_options
    assert sheets_of(options) == sheets_of(styled_collection.components.asc_display_options)
    assert options.configuration() == styled_collection.components.asc_display_options.configuration()
